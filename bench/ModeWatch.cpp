#include "ModeWatch.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {
// The longest a switch may stay before it counts as not restored.
constexpr int RestoreTimeoutMs = 5000;
// Quiet before each switch, longer than Velmora's poll interval in the benchmarks (1 s): it
// restores on an announcement at most once per interval, and a series must not measure that
// limit instead of the restore.
constexpr int QuietMs = 1200;
} // namespace

ModeWatch::ModeWatch(PinnedOutput &pinned, DisplayBackend &backend, const DisplayMode &locked)
    : pinned(pinned), backend(backend), locked(locked)
{
}

int ModeWatch::run(PinnedOutput &pinned, DisplayBackend &backend, const QStringList &args)
{
    DisplayMode locked;
    if (args.size() < 5 || !parseMode(args[3], locked))
        return 2;
    ModeWatch watch(pinned, backend, locked);
    if (args.size() > 6)
        for (const QString &o : args[6].split(','))
            watch.outputs.push_back(o.toStdString());
    if (args[1] == QLatin1String("hold"))
        watch.hold(args[4].toInt());
    if (args[1] != QLatin1String("restore") || args.size() < 6)
        return 2;
    QList<DisplayMode> foreign;
    for (const QString &f : args[4].split(',')) {
        DisplayMode m;
        if (!parseMode(f, m))
            return 2;
        foreign.append(m);
    }
    return watch.restoreSeries(foreign, args[5].toInt());
}

bool ModeWatch::parseMode(const QString &text, DisplayMode &out)
{
    const auto m = QRegularExpression(R"(^(\d+)x(\d+)@(\d+)$)").match(text);
    if (!m.hasMatch())
        return false;
    out = {m.captured(1).toInt(), m.captured(2).toInt(), 32, m.captured(3).toInt()};
    return true;
}

int ModeWatch::restoreSeries(const QList<DisplayMode> &foreign, int switches)
{
    for (int n = 0; n < switches; ++n) {
        // Start from the locked mode, with the display system settled.
        if (!waitLocked(RestoreTimeoutMs)) {
            std::fprintf(stderr, "the mode is not the locked one\n");
            return 1;
        }
        QThread::msleep(QuietMs);
        const DisplayMode &target = foreign[n % foreign.size()];
        QElapsedTimer clock;
        clock.start();
        std::vector<ModeChange> changes;
        for (const std::string &o : outputs)
            changes.push_back({o, target});
        const DisplayBackend::ApplyResult result = outputs.empty() ? pinned.apply(target) : backend.applyModes(changes);
        const double applyMs = clock.nsecsElapsed() / 1e6;
        if (result != DisplayBackend::ApplyResult::Applied) {
            std::fprintf(stderr, "foreign switch refused (%d)\n", int(result));
            return 1;
        }
        clock.restart();
        const bool restored = waitLocked(RestoreTimeoutMs);
        const double restoreMs = restored ? clock.nsecsElapsed() / 1e6 : -1;
        std::printf("%d %dx%d@%d %.2f %.2f\n", n, target.PelsWidth, target.PelsHeight, target.DisplayFrequency, applyMs,
                    restoreMs);
        std::fflush(stdout);
    }
    return 0;
}

void ModeWatch::hold(int intervalMs)
{
    for (;;) {
        DisplayMode now;
        if (pinned.current(now) == DisplayBackend::OutputState::Active && now != locked)
            pinned.apply(locked);
        QThread::msleep(intervalMs);
    }
}

bool ModeWatch::isLocked()
{
    if (!outputs.empty()) {
        std::vector<DisplayOutput> all;
        if (!backend.readOutputs(all))
            return false;
        const DisplayOutput *o = nullptr;
        for (const std::string &name : outputs)
            if (DisplayBackend::stateOf(all, name, &o) != DisplayBackend::OutputState::Active || o->current != locked)
                return false;
        return true;
    }
    DisplayMode now;
    return pinned.current(now) == DisplayBackend::OutputState::Active && now == locked;
}

bool ModeWatch::waitLocked(int ms)
{
    QEventLoop loop;
    bool done = false;
    backend.setChangeCallback([&] {
        QMetaObject::invokeMethod(&loop, [&] {
            if (!done && isLocked()) {
                done = true;
                loop.quit();
            }
        }, Qt::QueuedConnection);
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    if (isLocked())
        done = true;
    else
        loop.exec();
    backend.setChangeCallback(nullptr);
    return done;
}
