#include "XdgAutoRunStore.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <unistd.h>

XdgAutoRunStore::XdgAutoRunStore(const QString &dir)
    : directory(dir.isEmpty()
                    ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                          + QLatin1String("/autostart")
                    : dir)
{
}

QString XdgAutoRunStore::filePath(const QString &name) const
{
    return directory + QLatin1Char('/') + name + QLatin1String(".desktop");
}

QString XdgAutoRunStore::value(const QString &name)
{
    QFile file(filePath(name));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    bool inMainGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0 || line.left(eq).trimmed() != QLatin1String("Exec"))
            continue;
        return unescapeValue(line.mid(eq + 1).trimmed());
    }
    return QString();
}

bool XdgAutoRunStore::setValue(const QString &name, const QString &command)
{
    if (!QDir().mkpath(directory)) {
        qWarning().noquote() << "cannot create" << directory;
        return false;
    }
    QSaveFile file(filePath(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        qWarning().noquote() << "cannot write" << file.fileName() << ":" << file.errorString();
        return false;
    }
    QString entry;
    entry += QLatin1String("[Desktop Entry]\n");
    entry += QLatin1String("Type=Application\n");
    entry += QLatin1String("Name=") + escapeValue(name) + QLatin1Char('\n');
    entry += QLatin1String("Comment=Holds the primary display at the locked display mode\n");
    entry += QLatin1String("Exec=") + escapeValue(command) + QLatin1Char('\n');
    entry += QLatin1String("Icon=velmora\n");
    entry += QLatin1String("Terminal=false\n");
    entry += QLatin1String("X-GNOME-Autostart-enabled=true\n");
    file.write(entry.toUtf8());
    // Written in full or not at all: a half-written entry would break the log-on start.
    if (!file.commit()) {
        qWarning().noquote() << "cannot write" << file.fileName() << ":" << file.errorString();
        return false;
    }
    return true;
}

bool XdgAutoRunStore::remove(const QString &name)
{
    const QString path = filePath(name);
    return QFile::remove(path) || !QFileInfo::exists(path);
}

bool XdgAutoRunStore::sync()
{
    // Every write above is complete when it returns.
    return true;
}

bool XdgAutoRunStore::othersMayWrite(const QString &path) const
{
    // An owner may always write: any owner but the user and root is somebody else.
    const uint owner = QFileInfo(path).ownerId();
    if (QFileInfo::exists(path) && owner != uint(geteuid()) && owner != 0)
        return true;
    return AutoRunStore::othersMayWrite(path);
}

QString XdgAutoRunStore::command(const QString &program, const QString &arguments) const
{
    QString line = quoteArgument(QDir::toNativeSeparators(program));
    if (!arguments.isEmpty())
        line += QLatin1Char(' ') + arguments;
    return line;
}

QString XdgAutoRunStore::quoteArgument(const QString &argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = argument.isEmpty();
    for (QChar c : argument) {
        if (reserved.contains(c)) {
            needsQuotes = true;
            break;
        }
    }
    QString out;
    if (needsQuotes)
        out += QLatin1Char('"');
    for (QChar c : argument) {
        if (c == QLatin1Char('%')) {
            out += QLatin1String("%%"); // field codes start with %
            continue;
        }
        if (needsQuotes
            && (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$')
                || c == QLatin1Char('\\')))
            out += QLatin1Char('\\');
        out += c;
    }
    if (needsQuotes)
        out += QLatin1Char('"');
    return out;
}

QString XdgAutoRunStore::escapeValue(const QString &value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else if (c == QLatin1Char('\t'))
            out += QLatin1String("\\t");
        else if (c == QLatin1Char('\r'))
            out += QLatin1String("\\r");
        else if (c == QLatin1Char(' ') && (i == 0 || i == value.size() - 1))
            out += QLatin1String("\\s"); // would be trimmed away otherwise
        else
            out += c;
    }
    return out;
}

QString XdgAutoRunStore::unescapeValue(const QString &value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value.at(++i);
        switch (next.unicode()) {
        case 's': out += QLatin1Char(' '); break;
        case 'n': out += QLatin1Char('\n'); break;
        case 't': out += QLatin1Char('\t'); break;
        case 'r': out += QLatin1Char('\r'); break;
        case '\\': out += QLatin1Char('\\'); break;
        default: out += QLatin1Char('\\'); out += next; break;
        }
    }
    return out;
}
