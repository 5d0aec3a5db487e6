#pragma once

#include "Arrangement.h"
#include "DisplayBackend.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <vector>

class DisplaySettings;
class QSettings;

// The one writer of what is held in the store: the primary's mode ("DisplaySettings"), the
// other monitors' modes ("Monitors"), and the arrangements ("Arrangements"). The window, the
// answers to velmoractl and velmoractl itself go through it, so that one monitor is held at
// one mode whoever asks: a mode held for a monitor inside a held arrangement becomes that
// arrangement's mode for it. It also runs the one keep-or-revert trial of a mode. What it
// writes it announces (changed()), and a trial while it is open (trialChanged()), so that the
// lock thread connected to them follows.
class HoldKeeper : public QObject
{
    Q_OBJECT

public:
    explicit HoldKeeper(QSettings &settings, QObject *parent = nullptr);

    // What the trial asks of its caller: `applied` right after the switch, `refused` when the
    // display stayed where it was (a platform that answers late may still switch meanwhile),
    // `keep` whether to keep the mode that is on now. `applied` and `refused` may be empty.
    struct TrialSteps
    {
        std::function<void()> applied;
        std::function<void()> refused;
        std::function<bool()> keep;
    };
    enum class TrialOutcome
    {
        NotActive, // the monitor is off or cannot be read: nothing was tried
        Refused,   // the display stayed in the previous mode
        Kept,
        Reverted,
        NotReverted, // not kept, and the display did not go back
    };
    // Tries mode `index` of `monitor`. The way back is the mode in use before, by its values;
    // the held arrangement with this monitor in it steps aside meanwhile and takes the mode
    // kept. `previous` (may be null) gets the mode in use before.
    TrialOutcome tryMode(DisplaySettings &monitor, int index, const TrialSteps &steps, DisplayMode *previous = nullptr);

    // The primary's hold: its mode is stored; a hold of the same monitor under "Monitors" ends.
    // The hold itself lasts as long as this program ("-d" takes it again at the next start).
    void holdPrimary(const DisplayOutput &monitor, const DisplayMode &mode);
    void releasePrimary();
    bool primaryHeld() const { return m_primaryHeld; }
    DisplayMode primaryMode() const { return m_primaryMode; }
    // The stored hold of `monitor` under "Monitors": false when it has none that holds.
    bool storedHold(const DisplayOutput &monitor, DisplayMode *mode) const;
    void holdMonitor(const DisplayOutput &monitor, const DisplayMode &mode);
    void releaseMonitor(const DisplayOutput &monitor);
    // Ends the stored holds of monitors named `name` (a connector, \\.\NAME or an identity;
    // empty: every one); how many ended.
    int releaseStored(const QString &name);

    // Holds the arrangement of the monitors on in `outputs` as it is now; false when fewer
    // than two are on in a mode.
    bool holdArrangement(const std::vector<DisplayOutput> &outputs);
    // Lets go of the held arrangement of that set; false when none was held.
    bool releaseArrangement(const std::vector<DisplayOutput> &outputs);
    // Lets go of every held arrangement; how many.
    int releaseArrangements();
    // The held arrangement of the set on in `outputs`; empty when there is none.
    Arrangement heldArrangement(const std::vector<DisplayOutput> &outputs) const;
    QList<Arrangement> heldArrangements() const;
Q_SIGNALS:
    // What is held changed.
    void changed();
    // The primary's hold was taken (again, maybe at another mode), let go.
    void primaryTaken();
    void primaryLetGo();
    // A trial of the monitor with key `monitorKey` (MonitorSettings::keyFor) opened, ended.
    // Nothing is written for it, so a trial that never ends loses no hold.
    void trialBegan(const QString &monitorKey);
    void trialEnded(const QString &monitorKey);

private:
    void followInArrangements(const DisplayOutput &monitor, const DisplayMode &mode);
    static bool hasLeft(const DisplaySettings &monitor, const DisplayMode &mode);

    QSettings &settings;
    bool m_primaryHeld = false;
    DisplayMode m_primaryMode;
};
