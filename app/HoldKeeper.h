#pragma once

#include "Arrangement.h"
#include "DisplayBackend.h"

#include <QList>
#include <QString>

#include <vector>

class QSettings;

// The one writer of what is held in the store: the primary's mode ("DisplaySettings"), the
// other monitors' modes ("Monitors"), and the arrangements ("Arrangements"). The window, the
// answers to velmoractl and velmoractl itself go through it, so that one monitor is held at
// one mode whoever asks: a mode held for a monitor inside a held arrangement becomes that
// arrangement's mode for it. Callers tell the lock thread afterwards.
class HoldKeeper
{
public:
    explicit HoldKeeper(QSettings &settings);

    // The primary's hold: its mode; a hold of the same monitor under "Monitors" ends.
    void holdPrimary(const DisplayOutput &monitor, const DisplayMode &mode);
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
    // Lets the held arrangement `key` go for a trial of one of its monitors, and takes it up
    // again after, with that monitor in `mode` (the one kept, or the one it went back to).
    void suspendArrangement(const QString &key);
    void resumeArrangement(const QString &key, const DisplayOutput &monitor, const DisplayMode &mode);

private:
    void followInArrangements(const DisplayOutput &monitor, const DisplayMode &mode);

    QSettings &settings;
};
