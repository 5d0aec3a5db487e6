// Timing from outside on a Mutter host, for bench/gnome.sh.
//   velmora_gnomewatch restore BUS LOCKED FOREIGN[,FOREIGN...] SWITCHES
//     Switches the primary monitor to each foreign mode in turn through DisplayConfig (as
//     GNOME Settings would) and waits, on Mutter's MonitorsChanged, until the mode is LOCKED
//     again. Prints one line per switch: "<n> <foreign> <apply-ms> <restore-ms>", the restore
//     counted from the moment the foreign ApplyMonitorsConfig returned; -1 when not restored
//     within 5 s. Modes are WxH@Hz as the program names them (Hz whole).
//   velmora_gnomewatch hold BUS LOCKED INTERVAL_MS
//     The reference holder: reads GetCurrentState every INTERVAL_MS and puts LOCKED back
//     when it differs. Runs until killed.
#include "GnomeDisplayBackend.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {
bool parseMode(const QString &text, DisplayMode &out)
{
    const auto m = QRegularExpression(R"(^(\d+)x(\d+)@(\d+)$)").match(text);
    if (!m.hasMatch())
        return false;
    out = {m.captured(1).toInt(), m.captured(2).toInt(), 32, m.captured(3).toInt()};
    return true;
}

class Restores : public QObject
{
public:
    Restores(GnomeDisplayBackend &backend, const DisplayMode &locked)
        : backend(backend), locked(locked)
    {
    }
    // Waits for the locked mode, looking on every announcement; false after `ms`.
    bool waitLocked(int ms)
    {
        QEventLoop loop;
        bool done = false;
        backend.setChangeCallback([&] {
            QMetaObject::invokeMethod(&loop, [&] {
                DisplayMode now;
                if (!done && backend.current(now) == DisplayBackend::OutputState::Active && now == locked) {
                    done = true;
                    loop.quit();
                }
            }, Qt::QueuedConnection);
        });
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        DisplayMode now;
        if (backend.current(now) == DisplayBackend::OutputState::Active && now == locked)
            done = true;
        else
            loop.exec();
        backend.setChangeCallback(nullptr);
        return done;
    }

private:
    GnomeDisplayBackend &backend;
    DisplayMode locked;
};
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: velmora_gnomewatch restore BUS LOCKED FOREIGN,... SWITCHES | hold BUS LOCKED MS\n");
        return 2;
    }
    QDBusConnection bus = QDBusConnection::connectToBus(args[2], QStringLiteral("bench"));
    if (!bus.isConnected()) {
        std::fprintf(stderr, "cannot connect to %s\n", qPrintable(args[2]));
        return 1;
    }
    GnomeDisplayBackend backend(bus);
    if (backend.pinOutput().empty()) {
        std::fprintf(stderr, "no monitor in use\n");
        return 1;
    }
    DisplayMode locked;
    if (!parseMode(args[3], locked))
        return 2;

    if (args[1] == QLatin1String("hold")) {
        const int interval = args[4].toInt();
        for (;;) {
            DisplayMode now;
            if (backend.current(now) == DisplayBackend::OutputState::Active && now != locked)
                backend.apply(locked);
            QThread::msleep(interval);
        }
    }

    if (args.size() < 6)
        return 2;
    QList<DisplayMode> foreign;
    for (const QString &f : args[4].split(',')) {
        DisplayMode m;
        if (!parseMode(f, m))
            return 2;
        foreign.append(m);
    }
    const int switches = args[5].toInt();
    Restores restores(backend, locked);
    for (int n = 0; n < switches; ++n) {
        // Start from the locked mode, with Mutter settled.
        if (!restores.waitLocked(5000)) {
            std::fprintf(stderr, "the mode is not the locked one\n");
            return 1;
        }
        // Longer than Velmora's poll interval: it restores on an announcement at most once
        // per interval, and a series must not measure that limit instead of the restore.
        QThread::msleep(1200);
        const DisplayMode &target = foreign[n % foreign.size()];
        QElapsedTimer clock;
        clock.start();
        const DisplayBackend::ApplyResult result = backend.apply(target);
        const double applyMs = clock.nsecsElapsed() / 1e6;
        if (result != DisplayBackend::ApplyResult::Applied) {
            std::fprintf(stderr, "foreign switch refused (%d)\n", int(result));
            return 1;
        }
        clock.restart();
        const bool restored = restores.waitLocked(5000);
        const double restoreMs = restored ? clock.nsecsElapsed() / 1e6 : -1;
        std::printf("%d %dx%d@%d %.2f %.2f\n", n, target.PelsWidth, target.PelsHeight, target.DisplayFrequency, applyMs,
                    restoreMs);
        std::fflush(stdout);
    }
    return 0;
}
