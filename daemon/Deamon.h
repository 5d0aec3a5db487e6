#pragma once

#include "DisplayBackend.h"

#include <QElapsedTimer>
#include <QObject>

class DisplaySettings;
class QSettings;
class QTimer;

// Holds the display at the locked mode. Lives in a worker thread of its own: start() and
// stop() arrive as queued calls, and every poll tick compares the mode in use with the locked
// one and puts the locked one back when they differ.
class Deamon : public QObject
{
    Q_OBJECT

public:
    explicit Deamon(QObject *parent = nullptr);

    void setDisplaySettings(DisplaySettings *displaySettings);
    // A store object of the daemon's own (QSettings objects are not to be shared between
    // threads); it must be over the same store as the window's.
    void setSettings(QSettings *settings);

    // Interval used when the stored one is not a positive number of milliseconds.
    static constexpr int FallbackInterval = 1000;
    // A stored interval is held to these bounds.
    static constexpr int MinInterval = 100;
    static constexpr int MaxInterval = 60000;

public Q_SLOTS:
    void start();
    void stop();
    // The platform says the display changed: while locked, check at once instead of waiting
    // for the next poll. At most one such restore per interval, so that two programs each
    // forcing their own mode cannot make the screen flicker; the poll still catches the rest.
    void displayChanged();

protected Q_SLOTS:
    void update();

private:
    int readInterval();
    // One comparison of the mode in use with the locked one; true when it applied.
    bool tick();
    // While the output is off, absent or does not offer the held mode nothing is applied; the
    // diagnostic says so once when that starts (or its reason changes) and once when it ends.
    void waitFor(DisplayBackend::OutputState why);
    void endWait();
    // "WxH B bpp F Hz" of the held mode, for the diagnostics.
    QString heldText() const;

    QTimer *timer;
    QElapsedTimer lastEventRestore;
    DisplaySettings *displaySettings = nullptr;
    QSettings *settings = nullptr;
    // The stored values are what is held, listed or not; `locked` is only their entry (or -1)
    // for the diagnostics.
    DisplayMode held;
    int locked = -1;
    DisplayBackend::OutputState waiting = DisplayBackend::OutputState::Active;
    // The platform refused the held mode: nothing is applied until the display changes.
    bool refused = false;
};
