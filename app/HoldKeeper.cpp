#include "HoldKeeper.h"

#include "DisplaySettings.h"
#include "MonitorSettings.h"
#include "SettingsKeys.h"

#include <QSettings>
HoldKeeper::HoldKeeper(QSettings &store, QObject *parent)
    : QObject(parent)
    , settings(store)
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
    m_primaryHeld = true;
    m_primaryMode = mode;
    emit changed();
    emit primaryTaken();
}

void HoldKeeper::releasePrimary()
{
    if (!m_primaryHeld)
        return;
    m_primaryHeld = false;
    emit changed();
    emit primaryLetGo();
}

bool HoldKeeper::storedHold(const DisplayOutput &monitor, DisplayMode *mode) const
{
    const QString key = MonitorSettings::keyFor(monitor);
    for (const MonitorSettings::Stored &s : MonitorSettings::monitors(settings)) {
        if (s.key == key && s.locked && s.usable) {
            *mode = s.mode;
            return true;
        }
    }
    return false;
}

void HoldKeeper::holdMonitor(const DisplayOutput &monitor, const DisplayMode &mode)
{
    MonitorSettings::store(settings, monitor, mode, true);
    followInArrangements(monitor, mode);
    emit changed();
}

void HoldKeeper::releaseMonitor(const DisplayOutput &monitor)
{
    MonitorSettings::store(settings, monitor, DisplayMode(), false);
    emit changed();
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
    if (ended > 0)
        emit changed();
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
    emit changed();
    return true;
}

bool HoldKeeper::releaseArrangement(const std::vector<DisplayOutput> &outputs)
{
    const Arrangement a = heldArrangement(outputs);
    if (a.isEmpty())
        return false;
    Arrangement::setHeld(settings, a.key, false);
    emit changed();
    return true;
}

int HoldKeeper::releaseArrangements()
{
    int ended = 0;
    for (const Arrangement &a : heldArrangements()) {
        Arrangement::setHeld(settings, a.key, false);
        ++ended;
    }
    if (ended > 0)
        emit changed();
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

HoldKeeper::TrialOutcome HoldKeeper::tryMode(DisplaySettings &monitor, int index, const TrialSteps &steps,
                                             DisplayMode *previousOut)
{
    // Remembered by its values: the mode in use may have no entry, and the list may be
    // renumbered while the question is open. Without it there is no way back at all.
    DisplayMode previous;
    if (monitor.currentState(&previous) != DisplayBackend::OutputState::Active)
        return TrialOutcome::NotActive;
    if (previousOut)
        *previousOut = previous;
    const QString key = MonitorSettings::keyFor(monitor.monitor());
    const bool arranged = heldArrangement(monitor.outputs()).contains(key);
    // The held arrangement would put the old mode back while the question is open.
    emit trialBegan(key);

    const bool applied = monitor.applyDisplaySetting(index);
    if (steps.applied)
        steps.applied();
    // A refusal is no proof: whatever left the previous mode gets the question.
    bool left = applied || hasLeft(monitor, previous);
    if (!left && steps.refused) {
        steps.refused();
        left = hasLeft(monitor, previous);
    }
    TrialOutcome outcome = !left ? TrialOutcome::Refused : steps.keep() ? TrialOutcome::Kept : TrialOutcome::NotReverted;
    // Judged by reading the mode back, not by the apply's answer, which may be late or wrong.
    for (int attempt = 0; outcome == TrialOutcome::NotReverted && attempt < 2; ++attempt) {
        monitor.applyDisplayMode(previous);
        if (!hasLeft(monitor, previous))
            outcome = TrialOutcome::Reverted;
    }
    // Kept: the arrangement holds it from now on. Not kept, it goes on holding the old mode.
    DisplayMode now;
    if (arranged && outcome == TrialOutcome::Kept && monitor.currentState(&now) == DisplayBackend::OutputState::Active
        && now != previous) {
        followInArrangements(monitor.monitor(), now);
        emit changed();
    }
    emit trialEnded(key);
    return outcome;
}

bool HoldKeeper::hasLeft(const DisplaySettings &monitor, const DisplayMode &mode)
{
    DisplayMode now;
    return monitor.currentState(&now) != DisplayBackend::OutputState::Active || now != mode;
}
