#pragma once

#include "DisplayBackend.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

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
    // offered", "refused" or "unusable" (stored values that are no mode).
    struct HoldStatus
    {
        QString connector;
        QString identity;
        bool primary = false;
        DisplayMode mode;
        QString state;
        QDateTime lastRestore; // invalid: never put back
    };
    // What is held now; from any thread.
    QList<HoldStatus> status() const;

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
    // Copies what status() answers, after every change of the holds.
    void publish();

    QTimer *timer;
    DisplaySettings *displaySettings = nullptr;
    QSettings *settings = nullptr;
    // The primary's first, when it is held.
    std::vector<Hold> holds;
    mutable QMutex statusLock;
    QList<HoldStatus> published;
};
