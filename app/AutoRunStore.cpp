#include "AutoRunStore.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include "RunKeyAutoRunStore.h"
#else
#include "XdgAutoRunStore.h"
#endif

std::unique_ptr<AutoRunStore> AutoRunStore::open()
{
#ifdef Q_OS_WIN
    return std::make_unique<RunKeyAutoRunStore>();
#else
    return std::make_unique<XdgAutoRunStore>();
#endif
}

QString AutoRunStore::replaceableAt(const QString &program) const
{
    QString path = QFileInfo(program).absoluteFilePath();
    for (;;) {
        if (othersMayWrite(path))
            return path;
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            return QString();
        path = parent;
    }
}

bool AutoRunStore::othersMayWrite(const QString &path) const
{
    const QFileInfo info(path);
    const QFile::Permissions permissions = info.permissions();
    if (permissions & QFile::WriteOther)
        return true;
    // A group of the owner's own (user private groups) has no other member.
    return (permissions & QFile::WriteGroup) && info.group() != info.owner();
}
