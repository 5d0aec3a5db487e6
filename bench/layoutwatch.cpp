// Timing from outside on any platform, through the program's display layer on a connection of
// its own (chosen as the program chooses; VELMORA_DISPLAY_BACKEND forces one), for
// bench/arrangement.sh. A layout is every output's state, mode, place, rotation, scale and
// primary as the platform reports them; it is read after each announcement of a change.
//
//   velmora_layoutwatch restore SWITCHES QUIET_MS CHANGE
//     The layout at the start is the held one. SWITCHES times: waits until it is back and
//     nothing has been announced for QUIET_MS (longer than the program's one restore per
//     interval, and for an arrangement its 2 intervals + SettleMs within which a change counts
//     as undoing the last restore, a fight it gives up after three), makes CHANGE, and times from the first
//     announcement after it (t0) to the end of the first read after an announcement that
//     shows the held layout again (t1; the read takes a round trip or a few). One line per
//     switch: "<n> <change-ms> <restore-ms> <seen>", change-ms from making CHANGE to t0,
//     restore-ms = t1 - t0 (-1: not back within RestoreTimeoutMs), seen 1 when a read showed
//     the changed layout (0: it was back before the first read).
//   velmora_layoutwatch settle QUIET_MS CHANGE...
//     Makes each CHANGE in turn and notes every announcement it brings until QUIET_MS pass
//     without one. One line per CHANGE: "<n> <announcements> <first-ms> <last-ms> <layouts>
//     <first-layout-ms> <last-layout-ms> <change>", times from making it; layouts counts the
//     announcements after which the layout read differs from the one read before.
//
//   velmora_layoutwatch layout
//     Prints the layout, one output a line: "<name> <state> <W>x<H>@<Hz> <x>,<y> <transform>
//     <scale> <primary>".
//
// A CHANGE is a shell command line (another program: xrandr, wlr-randr, kscreen-doctor), or
// one made through this connection where a platform has no such program: "pos:OUTPUT:X,Y",
// "primary:OUTPUT", "mode:OUTPUT:WxH@Hz" (several joined by '+' go in one apply).
#include "DisplayPlatform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>

namespace {

constexpr int RestoreTimeoutMs = 5000;

QString layoutOf(const std::vector<DisplayOutput> &outputs)
{
    QString text;
    for (const DisplayOutput &o : outputs)
        text += QStringLiteral("%1 %2 %3x%4@%5 %6,%7 %8 %9 %10\n")
                    .arg(QString::fromStdString(o.name))
                    .arg(int(o.state))
                    .arg(o.current.PelsWidth)
                    .arg(o.current.PelsHeight)
                    .arg(o.current.DisplayFrequency)
                    .arg(o.x)
                    .arg(o.y)
                    .arg(o.transform)
                    .arg(o.scale)
                    .arg(o.primary);
    return text;
}

class Watch
{
public:
    explicit Watch(DisplayBackend &backend) : backend(backend)
    {
        clock.start();
        // Announcements come on the platform's thread; each is stamped there and its layout
        // read here, in order.
        backend.setChangeCallback([this] {
            const double at = clock.nsecsElapsed() / 1e6;
            QMetaObject::invokeMethod(qApp, [this, at] { heard(at); }, Qt::QueuedConnection);
        });
    }
    ~Watch() { backend.setChangeCallback(nullptr); }

    QString read()
    {
        std::vector<DisplayOutput> outputs;
        return backend.readOutputs(outputs) ? layoutOf(outputs) : QString();
    }
    double now() const { return clock.nsecsElapsed() / 1e6; }

    // Runs the event loop until `done` says so after an announcement, or until `until` (ms on
    // this clock) or, when `quiet` > 0, that long without one.
    void waitUntil(const std::function<bool(double at, const QString &layout)> &is, double until, int quiet = 0)
    {
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        auto arm = [&] {
            double left = until - now();
            if (quiet > 0)
                left = std::min(left, double(quiet));
            deadline.start(std::max(0, int(left)));
        };
        onHeard = [&](double at, const QString &layout) {
            if (is(at, layout))
                loop.quit();
            else
                arm();
        };
        arm();
        loop.exec();
        onHeard = nullptr;
    }

    // Makes a change; false when it failed. A command runs meanwhile: the loop goes on.
    bool make(const QString &change)
    {
        if (!change.contains(QRegularExpression(QStringLiteral("^(pos|primary|mode):")))) {
            command.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), change});
            return command.waitForStarted();
        }
        std::vector<OutputChange> changes;
        for (const QString &one : change.split('+')) {
            const QStringList f = one.split(':');
            OutputChange c;
            c.output = f.value(1).toStdString();
            const auto m = QRegularExpression(QStringLiteral(R"(^(\d+)[x,](\d+)(?:@(\d+))?$)")).match(f.value(2));
            if (f[0] == QLatin1String("primary"))
                c.primary = true;
            else if (!m.hasMatch())
                return false;
            else if (f[0] == QLatin1String("pos"))
                c.position = std::make_pair(m.captured(1).toInt(), m.captured(2).toInt());
            else
                c.mode = DisplayMode{m.captured(1).toInt(), m.captured(2).toInt(), 32, m.captured(3).toInt()};
            changes.push_back(c);
        }
        return backend.apply(changes) == DisplayBackend::ApplyResult::Applied;
    }

    // Whether the command of the last make() (if any) ended well.
    bool succeeded()
    {
        if (command.state() != QProcess::NotRunning)
            command.waitForFinished(30000);
        return command.exitStatus() == QProcess::NormalExit && command.exitCode() == 0;
    }

private:
    void heard(double at)
    {
        const QString layout = read();
        if (onHeard)
            onHeard(at, layout);
    }

    DisplayBackend &backend;
    QElapsedTimer clock;
    std::function<void(double, const QString &)> onHeard;
    QProcess command;
};

int restore(Watch &w, int switches, int quiet, const QString &change)
{
    const QString held = w.read();
    if (held.isEmpty())
        return 1;
    for (int n = 0; n < switches; ++n) {
        // Held, and nothing announced for `quiet` ms.
        if (w.read() != held)
            w.waitUntil([&](double, const QString &l) { return l == held; }, w.now() + RestoreTimeoutMs);
        w.waitUntil([](double, const QString &) { return false; }, w.now() + 10 * quiet, quiet);
        if (w.read() != held) {
            std::fprintf(stderr, "velmora_layoutwatch: the layout is not the held one:\n%s", qPrintable(w.read()));
            return 1;
        }
        const double made = w.now();
        if (!w.make(change)) {
            std::fprintf(stderr, "velmora_layoutwatch: %s failed\n", qPrintable(change));
            return 1;
        }
        double t0 = -1, t1 = -1;
        bool seen = false;
        w.waitUntil([&](double at, const QString &l) {
            t0 = t0 < 0 ? at : t0;
            seen = seen || l != held;
            if (l == held)
                t1 = w.now();
            return t1 >= 0;
        }, made + RestoreTimeoutMs);
        if (!w.succeeded() || t0 < 0) {
            std::fprintf(stderr, "velmora_layoutwatch: %s failed or was not announced\n", qPrintable(change));
            return 1;
        }
        std::printf("%d %.2f %.2f %d\n", n, t0 - made, t1 < 0 ? -1.0 : t1 - t0, int(seen));
        std::fflush(stdout);
    }
    return 0;
}

int settle(Watch &w, int quiet, const QStringList &changes)
{
    for (int n = 0; n < changes.size(); ++n) {
        w.waitUntil([](double, const QString &) { return false; }, w.now() + 10 * quiet, quiet);
        QString before = w.read();
        const double made = w.now();
        if (!w.make(changes[n])) {
            std::fprintf(stderr, "velmora_layoutwatch: %s failed\n", qPrintable(changes[n]));
            return 1;
        }
        int heard = 0, layouts = 0;
        double first = -1, last = -1, firstLayout = -1, lastLayout = -1;
        w.waitUntil([&](double at, const QString &l) {
            ++heard;
            first = first < 0 ? at - made : first;
            last = at - made;
            if (l != before) {
                ++layouts;
                firstLayout = firstLayout < 0 ? at - made : firstLayout;
                lastLayout = at - made;
                before = l;
            }
            return false;
        }, made + 30000, quiet);
        if (!w.succeeded()) {
            std::fprintf(stderr, "velmora_layoutwatch: %s failed\n", qPrintable(changes[n]));
            return 1;
        }
        std::printf("%d %d %.2f %.2f %d %.2f %.2f %s\n", n, heard, first, last, layouts, firstLayout, lastLayout,
                    qPrintable(changes[n]));
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    std::unique_ptr<DisplayBackend> backend = DisplayPlatform::create();
    if (!backend) {
        std::fprintf(stderr, "velmora_layoutwatch: no display platform here\n");
        return 1;
    }
    if (args.size() == 2 && args[1] == QLatin1String("layout")) {
        std::vector<DisplayOutput> outputs;
        if (!backend->readOutputs(outputs))
            return 1;
        std::printf("%s", qPrintable(layoutOf(outputs)));
        return 0;
    }
    Watch watch(*backend);
    // A platform's first announcement (X11's watcher says one on connecting) is no change.
    watch.waitUntil([](double, const QString &) { return false; }, watch.now() + 500);
    if (args.size() == 5 && args[1] == QLatin1String("restore"))
        return restore(watch, args[2].toInt(), args[3].toInt(), args[4]);
    if (args.size() >= 4 && args[1] == QLatin1String("settle"))
        return settle(watch, args[2].toInt(), args.mid(3));
    std::fprintf(stderr, "usage: velmora_layoutwatch restore SWITCHES QUIET_MS CHANGE | settle QUIET_MS CHANGE... | layout\n");
    return 2;
}
