#include "AllowedPrograms.h"

#include "SettingsKeys.h"

#include <QSettings>
#include <QVariant>

#include <algorithm>

QStringList AllowedPrograms::read(QSettings &settings, QString *bad)
{
    settings.beginGroup(SettingsKeys::DeamonGroup);
    const QVariant stored = settings.value(SettingsKeys::AllowedPrograms);
    settings.endGroup();
    if (!stored.isValid())
        return QStringList();
    // An INI file gives one name as a string, several as a list; anything else is no list.
    const int type = stored.metaType().id();
    QStringList names;
    bool ok = type == QMetaType::QString || type == QMetaType::QStringList;
    if (ok)
        names = stored.toStringList();
    for (const QString &name : std::as_const(names))
        ok = ok && isName(name);
    if (ok)
        return names;
    if (bad)
        *bad = stored.toStringList().join(QStringLiteral(", "));
    if (bad && bad->isEmpty())
        *bad = stored.toString();
    return QStringList();
}

void AllowedPrograms::write(QSettings &settings, const QStringList &names)
{
    settings.beginGroup(SettingsKeys::DeamonGroup);
    if (names.isEmpty())
        settings.remove(SettingsKeys::AllowedPrograms);
    else
        settings.setValue(SettingsKeys::AllowedPrograms, names);
    settings.endGroup();
    settings.sync();
}

bool AllowedPrograms::isName(const QString &name)
{
    return !name.trimmed().isEmpty() && name == name.trimmed() && !name.contains(QLatin1Char('/'))
        && !name.contains(QLatin1Char('\\'));
}

QString AllowedPrograms::fileNameOf(const QString &path)
{
    const qsizetype slash = std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    QString name = path.mid(slash + 1);
    const qsizetype exe = name.indexOf(QLatin1String(".exe "), 0, Qt::CaseInsensitive);
    if (exe > 0)
        name.truncate(exe + 4);
    return name;
}

QStringList AllowedPrograms::namesOf(const QString &executable, const QStringList &arguments, const QString &shortName)
{
    QStringList names;
    auto add = [&names](const QString &name) {
        if (!name.isEmpty() && !names.contains(name))
            names << name;
    };
    add(fileNameOf(executable));
    if (!arguments.isEmpty())
        add(fileNameOf(arguments.first()));
    // The kernel names a process after the file executed, cut to 15 bytes: for a script that is
    // the script, handed to its interpreter after argv[0] (and its options, at most one word).
    const bool binary = shortName.isEmpty()
        || std::any_of(names.cbegin(), names.cend(), [&](const QString &n) { return n.startsWith(shortName); });
    for (int i = 1; !binary && i < std::min<qsizetype>(arguments.size(), 3); ++i) {
        const QString script = fileNameOf(arguments.at(i));
        if (script.startsWith(shortName))
            add(script);
    }
    return names;
}
