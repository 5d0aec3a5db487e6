#pragma once

#include "DisplayBackend.h"
#include "Pinned.h"

#include <QList>
#include <QStringList>

// What the benchmark watchers do on any platform, on a backend of their own (another client of
// the display system): time how long a foreign switch stays before the locked mode is back,
// and hold the locked mode by polling, as the reference to compare with.
class ModeWatch
{
public:
    // `backend` has its output pinned.
    ModeWatch(PinnedOutput &pinned, DisplayBackend &backend, const DisplayMode &locked);

    // Runs a watcher's command line after its connection argument:
    //   restore SOCKET-OR-BUS LOCKED FOREIGN[,FOREIGN...] SWITCHES [OUTPUT,OUTPUT...]
    //   hold SOCKET-OR-BUS LOCKED INTERVAL_MS
    // With outputs named, each switch puts all of them in the foreign mode in one apply and
    // waits until every one is in the locked mode again.
    // Returns the exit status (2 for a malformed command line); hold never returns.
    template<class Backend>
    static int run(Pinned<Backend> &backend, const QStringList &args) { return run(backend, backend, args); }
    static int run(PinnedOutput &pinned, DisplayBackend &backend, const QStringList &args);

    // WxH@Hz as the program names modes (Hz whole, 32 bits a pixel).
    static bool parseMode(const QString &text, DisplayMode &out);

    // Switches to each foreign mode in turn and waits, on the platform's change announcements,
    // until the mode is the locked one again. One line per switch on stdout:
    // "<n> <foreign> <apply-ms> <restore-ms>", the restore counted from the moment the foreign
    // apply returned; -1 when not restored within 5 s.
    int restoreSeries(const QList<DisplayMode> &foreign, int switches);

    // Reads the mode every intervalMs and puts the locked one back when it differs.
    [[noreturn]] void hold(int intervalMs);

    // Switched at once instead of the pinned output, when not empty.
    std::vector<std::string> outputs;

private:
    bool isLocked();
    // Waits for the locked mode, looking on every announcement; false after `ms`.
    bool waitLocked(int ms);

    PinnedOutput &pinned;
    DisplayBackend &backend;
    DisplayMode locked;
};
