// In-process figures for docs/benchmarks.md, run by bench/run.sh:
//   - one Deamon tick and one DisplaySettings::currentIndex() on the X server ($DISPLAY),
//     wall time per call and X round trips per call; the tick both back to back and after
//     100 ms of idleness, as the program's timer calls it;
//   - a tick that finds a foreign mode and puts the locked one back;
//   - building the catalogue on the X server (new connection included);
//   - MainWindow::updateInfo() (the label refresh the window runs every 3 s);
//   - MainWindow::initTable() with 2,000 modes from the fake display layer.
// Each figure is measured in several runs of many calls; every call is timed on its own.
// Prints every timed call of every figure as JSON on stdout, in runs of equal length (round
// trips -1: not counted); the program's own debug lines go to stderr, as in the real program.
//   velmora_bench            every figure
//   velmora_bench --ticks    only currentIndex() and the ticks (for runs pinned to CPU cores)
//   velmora_bench --wakes S  reference wake-ups: for S seconds each, a thread woken by a 1 s
//                            Qt timer that does nothing, then one that also makes one X round
//                            trip and writes one line to stderr (a tick's bare bones); prints
//                            "RESULT wake_<kind> <run time ms per s> <times on a CPU per s>"
#include "Deamon.h"
#include "Pinned.h"
#include "DisplaySettings.h"
#include "FakeDisplayBackend.h"
#include "MainWindow.h"
#include "X11DisplayBackend.h"

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <xcb/xcb.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Figure
{
    std::string key;
    std::string what;
    int runs = 0;
    int calls = 0;
    std::vector<double> ms;         // every timed call
    int minRoundTrips = 0;
    int maxRoundTrips = 0;
    bool failed = false;
    std::string note;
};

// `runs` runs of `reps` timed calls, after `warmup` untimed ones. prepare() runs before each
// call, untimed; call() is timed; roundTrips() is read after each call (-1: not counted).
Figure measure(const std::string &key, const std::string &what, int runs, int reps, int warmup,
               const std::function<void()> &prepare, const std::function<void()> &call,
               const std::function<int()> &roundTrips)
{
    Figure f;
    f.key = key;
    f.what = what;
    f.runs = runs;
    f.minRoundTrips = 1 << 30;
    f.maxRoundTrips = -1;
    for (int i = 0; i < warmup; ++i) {
        prepare();
        call();
        roundTrips();
    }
    for (int r = 0; r < runs; ++r) {
        std::vector<double> run;
        for (int i = 0; i < reps; ++i) {
            prepare();
            roundTrips(); // what prepare() cost is not the call's
            const auto t0 = Clock::now();
            call();
            const auto t1 = Clock::now();
            const int rt = roundTrips();
            run.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
            f.minRoundTrips = std::min(f.minRoundTrips, rt);
            f.maxRoundTrips = std::max(f.maxRoundTrips, rt);
        }
        f.ms.insert(f.ms.end(), run.begin(), run.end());
    }
    f.calls = int(f.ms.size());
    return f;
}

// A JSON string: the figures' names hold backticks and dashes, no control characters.
std::string quoted(const std::string &s)
{
    std::string q = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\')
            q += '\\';
        q += c;
    }
    return q + "\"";
}

// Every timed call of every figure, for bench/report.py.
void print(const std::vector<Figure> &figures)
{
    std::printf("{\"figures\": [\n");
    for (size_t k = 0; k < figures.size(); ++k) {
        const Figure &f = figures[k];
        std::printf(" {\"key\": %s, \"what\": %s, ", quoted(f.key).c_str(), quoted(f.what).c_str());
        if (f.failed) {
            std::printf("\"failed\": %s}", quoted(f.note).c_str());
        } else {
            std::printf("\"runs\": %d, \"round_trips\": [%d, %d], \"ms\": [", f.runs, f.minRoundTrips,
                        f.maxRoundTrips);
            for (size_t i = 0; i < f.ms.size(); ++i)
                std::printf("%s%.6f", i ? ", " : "", f.ms[i]);
            std::printf("]}");
        }
        std::printf("%s\n", k + 1 < figures.size() ? "," : "");
    }
    std::printf("]}\n");
}

Figure failure(const std::string &key, const std::string &what, const std::string &why)
{
    Figure f;
    f.key = key;
    f.what = what;
    f.failed = true;
    f.note = why;
    return f;
}

QList<DisplayMode> manyModes(int n)
{
    QList<DisplayMode> modes;
    modes.reserve(n);
    for (int i = 0; i < n; ++i)
        modes.append({640 + 16 * (i % 100), 480 + 8 * (i / 100), 32, 60 + i % 3});
    return modes;
}

} // namespace

// Run time (ns) and times on a CPU of one thread, from its schedstat.
static std::pair<double, double> schedstat(long tid)
{
    std::FILE *f = std::fopen(("/proc/self/task/" + std::to_string(tid) + "/schedstat").c_str(), "r");
    double ns = 0, wait = 0, slices = 0;
    if (f) {
        if (std::fscanf(f, "%lf %lf %lf", &ns, &wait, &slices) != 3)
            ns = slices = 0;
        std::fclose(f);
    }
    return {ns, slices};
}

// A thread with a 1 s timer, as the lock thread has; `work` runs on every tick.
static void wakes(const char *kind, int seconds, const std::function<void()> &work)
{
    QThread thread;
    QTimer timer;
    timer.setInterval(1000);
    std::atomic<long> tid {0};
    QObject::connect(&timer, &QTimer::timeout, &timer, [&] {
        tid = long(gettid());
        work();
    });
    timer.moveToThread(&thread);
    thread.start();
    QMetaObject::invokeMethod(&timer, qOverload<>(&QTimer::start), Qt::QueuedConnection);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const auto before = schedstat(tid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto after = schedstat(tid);
    QMetaObject::invokeMethod(&timer, &QTimer::stop, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    std::printf("RESULT wake_%s %.4f %.2f\n", kind, (after.first - before.first) / 1e6 / seconds,
                (after.second - before.second) / seconds);
}

int main(int argc, char *argv[])
{
    if (argc > 2 && std::string(argv[1]) == "--wakes") {
        QCoreApplication app(argc, argv);
        const int seconds = std::max(1, std::atoi(argv[2]));
        wakes("timer", seconds, [] {});
        xcb_connection_t *c = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c)) {
            std::fprintf(stderr, "no X server\n");
            return 1;
        }
        wakes("roundtrip", seconds, [c] {
            std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
            std::fprintf(stderr, "update():now=0,locked=0\n");
        });
        xcb_disconnect(c);
        return 0;
    }

    // The widgets need no screen: the X figures go through the display layer's own
    // connection to $DISPLAY, not through Qt's.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const bool ticksOnly = argc > 1 && std::string(argv[1]) == "--ticks";
    const int runs = 5;

    std::vector<Figure> figures;
    QTemporaryDir dir;

    // --- On the X server ----------------------------------------------------------------
    auto *x11 = new X11DisplayBackend();
    DisplaySettings displaySettings{std::unique_ptr<DisplayBackend>(x11)};
    auto takeRoundTrips = [x11] { return x11->takeRoundTrips(); };
    const int locked = displaySettings.currentIndex();
    if (displaySettings.count() == 0 || locked < 0) {
        std::fprintf(stderr, "velmora_bench: no X display with a listed mode in use ($DISPLAY)\n");
        return 1;
    }

    figures.push_back(measure("current_index", "`currentIndex()` on the X server", runs, 1000, 50, [] {},
                              [&] { displaySettings.currentIndex(); }, takeRoundTrips));

    // The daemon as the program runs it, locked to the mode in use; its timer never fires
    // here (no event loop runs), each tick is invoked directly.
    QSettings store(dir.filePath("Velmora.conf"), QSettings::IniFormat);
    store.setValue("Deamon/msec", 3600000);
    Deamon deamon;
    deamon.setDisplaySettings(&displaySettings);
    deamon.setSettings(&store);
    deamon.start();
    auto tick = [&] { QMetaObject::invokeMethod(&deamon, "update", Qt::DirectConnection); };
    figures.push_back(measure("tick_idle", "`Deamon` tick, locked mode in place, back to back", runs, 1000, 50,
                              [] {}, tick, takeRoundTrips));
    // The program ticks once per interval, from sleep: the X server and this thread are idle
    // before every call.
    figures.push_back(measure(
        "tick_after_idle", "`Deamon` tick, locked mode in place, after 100 ms idle (as the timer calls it)", runs, 20,
        2, [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }, tick, takeRoundTrips));
    if (ticksOnly) {
        deamon.stop();
        print(figures);
        return 0;
    }

    // A tick that finds a foreign mode, set just before by another connection, and restores.
    Pinned<X11DisplayBackend> outside;
    outside.pinOutput();
    std::vector<int> foreign;
    for (int i = 0; i < displaySettings.count(); ++i) {
        if (displaySettings.indexOf(displaySettings.pelsWidth(i), displaySettings.pelsHeight(i),
                                    displaySettings.bitsPerPel(i), displaySettings.displayFrequency(i))
            != locked)
            foreign.push_back(i);
    }
    if (foreign.empty()) {
        figures.push_back(failure("tick_restore", "`Deamon` tick that restores", "only one mode listed"));
    } else {
        size_t next = 0;
        bool switched = true;
        Figure f = measure(
            "tick_restore", "`Deamon` tick that finds a foreign mode and restores it", runs, 20, 2,
            [&] {
                const int n = foreign[next++ % foreign.size()];
                const DisplayMode m {displaySettings.pelsWidth(n), displaySettings.pelsHeight(n),
                                     displaySettings.bitsPerPel(n), displaySettings.displayFrequency(n)};
                switched = outside.apply(m) == DisplayBackend::ApplyResult::Applied && switched;
            }, tick, takeRoundTrips);
        if (!switched || displaySettings.currentIndex() != locked)
            f = failure("tick_restore", "`Deamon` tick that restores", "the foreign switch or the restore failed");
        figures.push_back(f);
    }
    deamon.stop();

    figures.push_back(measure(
        "catalogue", "building the catalogue (`DisplaySettings` over a new X connection)", runs, 100, 5, [] {},
        [] {
            auto *backend = new X11DisplayBackend();
            DisplaySettings catalogue{std::unique_ptr<DisplayBackend>(backend)};
        },
        [] { return -1; }));
    // The same, counting its round trips (a separate pass: the count needs the backend).
    {
        auto *backend = new X11DisplayBackend();
        DisplaySettings catalogue{std::unique_ptr<DisplayBackend>(backend)};
        figures.back().minRoundTrips = figures.back().maxRoundTrips = backend->takeRoundTrips();
    }

    {
        MainWindow window;
        window.setDisplaySettings(&displaySettings);
        figures.push_back(measure("update_info", "`MainWindow::updateInfo()` (label refresh, every 3 s)", runs, 200,
                                  10, [] {}, [&] { window.updateInfo(); }, takeRoundTrips));
    }

    // --- The table, over the fake display layer ---------------------------------------
    const QList<DisplayMode> modes = manyModes(2000);
    std::unique_ptr<DisplaySettings> catalogue;
    std::unique_ptr<MainWindow> window;
    Figure table = measure(
        "table_2000", "`MainWindow::initTable()` with 2,000 modes (fake layer)", runs, 6, 1,
        [&] {
            window.reset();
            catalogue = std::make_unique<DisplaySettings>(std::make_unique<FakeDisplayBackend>(modes, 0));
            window = std::make_unique<MainWindow>();
            window->setDisplaySettings(catalogue.get());
        },
        [&] { window->initTable(); }, [] { return -1; });
    if (catalogue->count() != 2000)
        table = failure("table_2000", "`initTable()` with 2,000 modes", "the fake catalogue is not 2,000 modes long");
    figures.push_back(table);
    window.reset();
    catalogue.reset();

    print(figures);
    return 0;
}
