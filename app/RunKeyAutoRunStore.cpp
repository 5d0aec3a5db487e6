#include "RunKeyAutoRunStore.h"

#include <QDir>

// Qt reads a file's access list only while this is above zero.
extern Q_CORE_EXPORT int qt_ntfs_permission_lookup;

RunKeyAutoRunStore::RunKeyAutoRunStore()
    : runKey(QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"),
             QSettings::NativeFormat)
{
}

QString RunKeyAutoRunStore::value(const QString &name)
{
    return runKey.value(name).toString();
}

void RunKeyAutoRunStore::setValue(const QString &name, const QString &command)
{
    runKey.setValue(name, command);
}

void RunKeyAutoRunStore::remove(const QString &name)
{
    runKey.remove(name);
}

void RunKeyAutoRunStore::sync()
{
    runKey.sync();
}

QString RunKeyAutoRunStore::command(const QString &program, const QString &arguments) const
{
    // Always quoted: an unquoted path with blanks lets the shell start "C:\Program.exe".
    // A Windows path cannot hold a double quote, so none needs escaping.
    QString line = QLatin1Char('"') + QDir::toNativeSeparators(program) + QLatin1Char('"');
    if (!arguments.isEmpty())
        line += QLatin1Char(' ') + arguments;
    return line;
}

bool RunKeyAutoRunStore::othersMayWrite(const QString &path) const
{
    // Without the access list every file that is not read-only looks writable by everybody.
    ++qt_ntfs_permission_lookup;
    const bool others = AutoRunStore::othersMayWrite(path);
    --qt_ntfs_permission_lookup;
    return others;
}
