#include "MonitorSettings.h"

#include "SettingsKeys.h"

#include <QSettings>

QString MonitorSettings::keyFor(const DisplayOutput &output)
{
    // Twins without serial numbers differ only by their connectors.
    QString raw = QString::fromStdString(output.identity);
    const QString connector = QString::fromStdString(output.name).remove(QStringLiteral("\\\\.\\"));
    if (raw.isEmpty())
        raw = connector;
    else if (!output.hasSerial)
        raw += QLatin1Char('@') + connector;
    // Slashes would nest groups, and the registry and INI files treat others specially.
    QString key;
    for (const QChar c : std::as_const(raw)) {
        const bool plain = (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') || c == QLatin1Char('.');
        key += plain ? c : QLatin1Char('_');
    }
    return key;
}

QString MonitorSettings::groupFor(const QString &key)
{
    return SettingsKeys::MonitorsGroup + QLatin1Char('/') + key;
}

bool MonitorSettings::usable(const DisplayMode &m)
{
    static const int depths[] = {4, 8, 15, 16, 24, 30, 32, 36, 48};
    bool depth = false;
    for (int d : depths)
        depth = depth || m.BitsPerPel == d;
    return m.PelsWidth >= 1 && m.PelsWidth <= 32767 && m.PelsHeight >= 1 && m.PelsHeight <= 32767 && depth
        && m.DisplayFrequency >= 0 && m.DisplayFrequency <= 1000;
}

DisplayMode MonitorSettings::readMode(QSettings &settings, const QString &group, const DisplayMode &fallback, bool *ok)
{
    using namespace SettingsKeys;
    bool numbers = true;
    auto read = [&](const QString &key, int fallbackValue) {
        bool isNumber = false;
        const qlonglong wide = settings.value(key, fallbackValue).toLongLong(&isNumber);
        // Through 64 bits: a 32-bit conversion would wrap a huge value into a plausible one.
        isNumber = isNumber && wide >= -0x7fffffffLL && wide <= 0x7fffffffLL;
        numbers = numbers && isNumber;
        return isNumber ? int(wide) : 0;
    };
    settings.beginGroup(group);
    DisplayMode m;
    m.PelsHeight = read(PelsHeight, fallback.PelsHeight);
    m.PelsWidth = read(PelsWidth, fallback.PelsWidth);
    m.BitsPerPel = read(BitsPerPel, fallback.BitsPerPel);
    m.DisplayFrequency = read(DisplayFrequency, fallback.DisplayFrequency);
    settings.endGroup();
    if (ok)
        *ok = numbers && usable(m);
    return m;
}

void MonitorSettings::writeMode(QSettings &settings, const QString &group, const DisplayMode &m)
{
    using namespace SettingsKeys;
    settings.beginGroup(group);
    settings.setValue(PelsWidth, m.PelsWidth);
    settings.setValue(PelsHeight, m.PelsHeight);
    settings.setValue(BitsPerPel, m.BitsPerPel);
    settings.setValue(DisplayFrequency, m.DisplayFrequency);
    settings.endGroup();
}

QList<MonitorSettings::Stored> MonitorSettings::monitors(QSettings &settings)
{
    using namespace SettingsKeys;
    settings.beginGroup(MonitorsGroup);
    const QStringList keys = settings.childGroups();
    settings.endGroup();
    QList<Stored> all;
    for (const QString &key : keys) {
        Stored s;
        s.key = key;
        const QString group = groupFor(key);
        s.mode = readMode(settings, group, DisplayMode(), &s.usable);
        settings.beginGroup(group);
        s.identity = settings.value(Identity).toString();
        s.connector = settings.value(Connector).toString();
        s.name = settings.value(Name).toString();
        s.locked = settings.value(Locked).toBool();
        settings.endGroup();
        all.append(s);
    }
    return all;
}

void MonitorSettings::store(QSettings &settings, const DisplayOutput &output, const DisplayMode &mode, bool locked)
{
    using namespace SettingsKeys;
    const QString group = groupFor(keyFor(output));
    if (locked)
        writeMode(settings, group, mode);
    settings.beginGroup(group);
    settings.setValue(Identity, QString::fromStdString(output.identity));
    settings.setValue(Connector, QString::fromStdString(output.name));
    settings.setValue(Name, QString::fromStdString(output.label));
    settings.setValue(Locked, locked);
    settings.endGroup();
    settings.sync();
}

QString MonitorSettings::text(const DisplayMode &m)
{
    return QStringLiteral("%1x%2 %3 bpp %4 Hz").arg(m.PelsWidth).arg(m.PelsHeight).arg(m.BitsPerPel).arg(m.DisplayFrequency);
}
