#pragma once

#include "Arrangement.h"
#include "DisplayBackend.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class DisplaySettings;
class QSettings;
class QTimer;

// Holds monitors at their locked modes. Lives in a worker thread of its own: start(), stop()
// and reloadMonitors() arrive as queued calls, and every poll tick reads the whole display
// configuration once, compares each held monitor's mode with its locked one and puts back, in
// one apply, the ones that drifted.
class Deamon : public QObject
{
    Q_OBJECT

public:
    explicit Deamon(QObject *parent = nullptr);

    // The catalogue of the monitor primary at start, whose mode is the group "DisplaySettings".
    void setDisplaySettings(DisplaySettings *displaySettings);
    // A store object of the daemon's own (QSettings objects are not to be shared between
    // threads); it must be over the same store as the window's.
    void setSettings(QSettings *settings);

    // One held monitor as the last tick saw it. state: "held", "off", "unplugged", "not
    // offered", "refused", "failing" (its restores fail), "unusable" (stored values that are
    // no mode) or "stepped aside" (drifted while an allowed program runs, named in `steppedAsideFor`).
    struct HoldStatus
    {
        QString connector;
        QString identity;
        bool primary = false;
        DisplayMode mode;
        QString state;
        QDateTime lastRestore; // invalid: never put back
        QString steppedAsideFor;
    };
    // What is held now; from any thread.
    QList<HoldStatus> status() const;

    // One held arrangement as the last tick saw it. state: "held", "waiting" (another set of
    // monitors is on), "refused", "given up" (undone after every restore), "unusable" or
    // "stepped aside".
    struct ArrangementStatus
    {
        QString key;
        QStringList connectors;
        QString state;
        QDateTime lastRestore;
        QString steppedAsideFor;
    };
    QList<ArrangementStatus> arrangementStatus() const;

    // How long the configuration must have been still before an arrangement is put back:
    // desktops re-apply their own stored layout in several steps after a hotplug.
    static constexpr int SettleMs = 300;
    // After an allowed program has ended, the display is given this long at most to settle.
    static constexpr int MaxSettleMs = 3000;
    // Restores undone each time within this many intervals, this many times in a row: given up.
    static constexpr int FightRestores = 3;

    // Interval used when the stored one is not a positive number of milliseconds.
    static constexpr int FallbackInterval = 1000;
    // A stored interval is held to these bounds.
    static constexpr int MinInterval = 100;
    static constexpr int MaxInterval = 60000;

public Q_SLOTS:
    // Holds the primary monitor at its stored mode (and every other monitor stored as locked).
    void start();
    // Lets the primary monitor go; the others stay held.
    void stop();
    // Holds nothing more and stops polling: the thread ends (its timer must stop in it).
    void halt();
    // The other monitors' stored locks changed: hold what is stored as locked now.
    void reloadMonitors();
    // The platform says the display changed: while locked, check at once instead of waiting
    // for the next poll. At most one such restore per monitor per interval, so that two
    // programs each forcing their own mode cannot make the screen flicker; the poll still
    // catches the rest.
    void displayChanged();
    // A keep-or-revert trial of the monitor with this key (MonitorSettings::keyFor) is open:
    // what holds it, alone or in an arrangement, steps aside until it ends. Holds stay as they
    // are meanwhile, in whatever state they were.
    void beginTrial(const QString &monitorKey);
    void endTrial(const QString &monitorKey);

    // The stored list of programs allowed to change the mode ("Deamon"/"AllowedPrograms") is
    // read with the holds (reloadMonitors()): while one of them runs nothing is put back; once
    // the last has ended and the display has settled, what is not as held is put back once.

protected Q_SLOTS:
    void update();

private:
    struct Hold
    {
        QString key; // empty: the primary's
        std::string identity;
        std::string connector; // where it was last seen
        DisplayMode held;
        bool usable = false;
        // Let go (the primary's after stop()): reported on, not restored.
        bool engaged = true;
        std::vector<DisplayMode> modes; // its list, for the numbers in the diagnostics
        DisplayBackend::OutputState waiting = DisplayBackend::OutputState::Active;
        // The platform refused the held mode in this configuration: nothing is applied until
        // the monitor's mode or its list differ from it.
        bool refused = false;
        DisplayMode refusedIn;
        std::vector<DisplayMode> refusedModes;
        QElapsedTimer lastEventRestore;
        QDateTime lastRestore;
        // The last restore failed (no answer, gone meanwhile): not "held" until it is.
        bool failing = false;
        // Drifted while an allowed program runs.
        bool asideNow = false;
    };

    int readInterval();
    bool engaged() const;
    // The other monitors' holds as stored now; the primary's stays as it is.
    void loadMonitors();
    // One read of the configuration; puts back what drifted, skipping, for an announcement,
    // monitors restored on one within the interval.
    void tick(bool announced);
    // Whether `hold` is to be restored now; says why not when it starts waiting.
    bool wantsRestore(Hold &hold, const std::vector<DisplayOutput> &outputs, bool readable, bool announced);
    void restore(const std::vector<Hold *> &holds, bool announced);
    void noteRefusal(Hold &hold);
    // While the monitor is off, absent or does not offer the held mode nothing is applied; the
    // diagnostic says so once when that starts (or its reason changes) and once when it ends.
    void waitFor(Hold &hold, DisplayBackend::OutputState why);
    void endWait(Hold &hold);
    void sayUnusable(const Hold &hold) const;

    struct ArrangementHold
    {
        Arrangement held;
        bool usable = false;
        QString state = QStringLiteral("waiting");
        // Refused in this configuration: asked again only once it differs.
        bool refused = false;
        std::vector<DisplayOutput> refusedIn;
        // Consecutive restores undone soon after; given up at FightRestores until another set.
        int undone = 0;
        bool givenUp = false;
        // Found as held in the last configuration read (lastConfiguration).
        bool inPlace = false;
        QElapsedTimer restoredAt;
        QDateTime lastRestore;
    };
    void loadArrangements();
    // Puts back the held arrangement of the set on now once the configuration has settled.
    void holdArrangement(const std::vector<DisplayOutput> &outputs);
    void restoreArrangement(ArrangementHold &hold, const std::vector<DisplayOutput> &outputs);
    // Whether two reads show the same configuration: the same monitors on the same connectors,
    // each in the same state, mode, place, rotation, scale and primary. Compared field by
    // field, not as text: it runs on every tick while an arrangement is held.
    static bool sameConfiguration(const std::vector<DisplayOutput> &a, const std::vector<DisplayOutput> &b);
    // Copies what status() answers, after every change of the holds.
    void publish();

    // Whether to step aside for an allowed program: one already awaited, or one running now
    // (a look at the running programs, only when something drifted).
    bool stepAside();
    void allowedEnded();
    // After an allowed program: whether the display is still settling (the tick waits then).
    bool settling(const std::vector<DisplayOutput> &outputs, bool readable);

    QTimer *timer;
    DisplaySettings *displaySettings = nullptr;
    QSettings *settings = nullptr;
    // The primary's first, when it is held.
    std::vector<Hold> holds;
    std::vector<ArrangementHold> arrangements;
    std::vector<DisplayOutput> lastConfiguration;
    QElapsedTimer stillSince;
    QString lastSet;
    QStringList trials; // one entry per open trial
    QStringList allowed;
    QString saidBadAllowed;
    std::unique_ptr<QObject> awaited; // watches the end of the allowed program stepped aside for
    QString awaitedName;
    QElapsedTimer allowedEndedAt; // valid while the display settles after it
    QElapsedTimer settledSince;
    std::vector<DisplayOutput> settlingConfiguration;
    QTimer *settleTimer;
    mutable QMutex statusLock;
    QList<HoldStatus> published;
    QList<ArrangementStatus> publishedArrangements;
};
