#include "HoldKeeper.h"

#include "MonitorSettings.h"
#include "SettingsKeys.h"

#include <QSettings>

HoldKeeper::HoldKeeper(QSettings &store)
    : settings(store)
{
}

void HoldKeeper::holdPrimary(const DisplayOutput &monitor, const DisplayMode &mode)
{
    MonitorSettings::writeMode(settings, SettingsKeys::DisplayGroup, mode);
    // Held as the primary now: a lock of it from a run where it was another monitor would
    // hold it at a second mode.
    const QString key = MonitorSettings::keyFor(monitor);
    for (const MonitorSettings::Stored &s : MonitorSettings::monitors(settings)) {
        if (s.locked && !monitor.name.empty() && s.key == key)
            settings.setValue(MonitorSettings::groupFor(s.key) + QLatin1Char('/') + SettingsKeys::Locked, false);
    }
    followInArrangements(monitor, mode);
    settings.sync();
}

void HoldKeeper::holdMonitor(const DisplayOutput &monitor, const DisplayMode &mode)
{
    MonitorSettings::store(settings, monitor, mode, true);
    followInArrangements(monitor, mode);
}

void HoldKeeper::releaseMonitor(const DisplayOutput &monitor)
{
    MonitorSettings::store(settings, monitor, DisplayMode(), false);
}

int HoldKeeper::releaseStored(const QString &name)
{
    int ended = 0;
    for (const MonitorSettings::Stored &s : MonitorSettings::monitors(settings)) {
        const bool named = name.isEmpty() || s.connector == name || s.connector == QStringLiteral("\\\\.\\") + name
            || (!s.identity.isEmpty() && s.identity == name);
        if (s.locked && named) {
            settings.setValue(MonitorSettings::groupFor(s.key) + QLatin1Char('/') + SettingsKeys::Locked, false);
            ++ended;
        }
    }
    settings.sync();
    return ended;
}

void HoldKeeper::followInArrangements(const DisplayOutput &monitor, const DisplayMode &mode)
{
    Arrangement::setMode(settings, MonitorSettings::keyFor(monitor), mode);
}

bool HoldKeeper::holdArrangement(const std::vector<DisplayOutput> &outputs)
{
    Arrangement a = Arrangement::of(outputs);
    if (a.isEmpty())
        return false;
    a.held = true;
    a.save(settings);
    return true;
}

bool HoldKeeper::releaseArrangement(const std::vector<DisplayOutput> &outputs)
{
    const Arrangement a = heldArrangement(outputs);
    if (a.isEmpty())
        return false;
    Arrangement::setHeld(settings, a.key, false);
    return true;
}

int HoldKeeper::releaseArrangements()
{
    int ended = 0;
    for (const Arrangement &a : heldArrangements()) {
        Arrangement::setHeld(settings, a.key, false);
        ++ended;
    }
    return ended;
}

Arrangement HoldKeeper::heldArrangement(const std::vector<DisplayOutput> &outputs) const
{
    const QString key = Arrangement::setKey(outputs);
    for (const Arrangement &a : heldArrangements()) {
        if (!key.isEmpty() && a.key == key)
            return a;
    }
    return Arrangement();
}

QList<Arrangement> HoldKeeper::heldArrangements() const
{
    QList<Arrangement> held;
    for (const Arrangement &a : Arrangement::load(settings)) {
        if (a.held)
            held.append(a);
    }
    return held;
}

void HoldKeeper::suspendArrangement(const QString &key)
{
    Arrangement::setHeld(settings, key, false);
}

void HoldKeeper::resumeArrangement(const QString &key, const DisplayOutput &monitor, const DisplayMode &mode)
{
    followInArrangements(monitor, mode);
    Arrangement::setHeld(settings, key, true);
}
