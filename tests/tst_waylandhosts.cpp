// The KDE and wlroots layers, the lock and the whole program against real compositors: KWin
// (three virtual outputs), phoc (three headless outputs) and sway 1.7 (two), checked from
// outside with kscreen-doctor and wlr-randr: modes, and arrangements (places, transforms,
// scales, KWin's primary). Each of their outputs has one mode here (no DRM
// device), so switching between listed modes is tested on the project's own test compositor.
#include "ArrangementScenario.h"
#include "DisplaySettings.h"
#include "Pinned.h"
#include "KdeDisplayBackend.h"
#include "MonitorSettings.h"
#include "ProgramHome.h"
#include "TestSupport.h"
#include "WaylandWitness.h"
#include "WlrootsDisplayBackend.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QTest>

namespace {
const DisplayMode Hd{1280, 720, 32, 60};

bool sameOutput(const WitnessOutput &a, const WitnessOutput &b)
{
    return a.name == b.name && a.enabled == b.enabled && a.mode() == b.mode() && a.x == b.x && a.y == b.y;
}

// The whole arrangement the witness shows, one line per output.
QStringList layoutOf(const QList<WitnessOutput> &outputs)
{
    QStringList text;
    for (const WitnessOutput &o : outputs)
        text << QString("%1 %2 %3,%4 %5 %6 %7").arg(o.name).arg(o.enabled).arg(o.x).arg(o.y).arg(o.transform).arg(o.scale).arg(o.priority);
    return text;
}

// Whether the outputs named in `expected` are on, with these places, transforms and scales.
bool laidOut(const WaylandHost &host, const QList<std::tuple<QString, int, int, int, double>> &expected)
{
    const QList<WitnessOutput> outputs = host.outputs();
    for (const auto &[name, x, y, transform, scale] : expected) {
        const auto o = std::find_if(outputs.cbegin(), outputs.cend(), [&](const WitnessOutput &w) { return w.name == name; });
        if (o == outputs.cend() || !o->enabled || o->x != x || o->y != y || o->transform != transform || o->scale != scale)
            return false;
    }
    return true;
}
} // namespace

class TestWaylandHosts : public QObject
{
    Q_OBJECT

    WaylandHost kwin{QStringLiteral(VELMORA_WAYLAND_KWIN_DIR)};
    WaylandHost phoc{QStringLiteral(VELMORA_WAYLAND_PHOC_DIR)};
    WaylandHost sway{QStringLiteral(VELMORA_WAYLAND_SWAY_DIR)};

    // The program as a Wayland client of `host`, started with -d in a home of its own.
    void startProgram(QProcess &velmora, const WaylandHost &host, const ProgramHome &home)
    {
        home.store("Deamon/msec", 10000);
        QVERIFY(home.start(velmora, {"-d"}, home.waylandHost(host)));
    }

private Q_SLOTS:
    // KWin: the primary's modes as kscreen-doctor lists them, a real apply, and an output
    // switched off by somebody else stays off under the lock, whose hold waits for it.
    void kwinListsAppliesAndLeavesAnOutputOff()
    {
        REQUIRE_HOST(kwin);
        const WitnessOutput before = kwin.output("Virtual-0");
        const WitnessOutput other = kwin.output("Virtual-1");
        QVERIFY(before.enabled && other.enabled);
        Pinned<KdeDisplayBackend> backend(kwin.socket().toStdString());
        QVERIFY(backend.offered());
        QCOMPARE(QString::fromStdString(backend.pinOutput()), QString("Virtual-0"));
        QCOMPARE(enumerateModes(backend), before.modes);
        DisplayMode current;
        QCOMPARE(backend.current(current), DisplayBackend::OutputState::Active);
        QVERIFY(current == before.mode());
        QCOMPARE(backend.apply(current), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(backend.apply({1024, 768, 32, 60}), DisplayBackend::ApplyResult::NotOffered);
        QVERIFY(sameOutput(kwin.output("Virtual-1"), other));

        HeldLock lock(std::make_unique<KdeDisplayBackend>(kwin.socket().toStdString()), Hd, 300);
        bool ok = false;
        kwin.run({"kscreen-doctor", "output.Virtual-0.disable"}, &ok);
        QVERIFY(ok);
        QTRY_COMPARE_WITH_TIMEOUT(lock.log.matching("hold:"),
                                  QStringList({"hold: Virtual-0 is off, waiting until it is on again"}), 3000);
        QTest::qWait(900);
        QVERIFY(!kwin.output("Virtual-0").enabled);
        QCOMPARE(lock.applies(), QStringList());
        // KWin made another output the primary meanwhile: the host goes back as it was started.
        kwin.run({"kscreen-doctor", "output.Virtual-0.enable", "output.Virtual-0.position.0,0",
                  "output.Virtual-1.position.1280,0", "output.Virtual-2.position.2560,0",
                  "output.Virtual-0.priority.1", "output.Virtual-1.priority.2", "output.Virtual-2.priority.3"},
                 &ok);
        QVERIFY(ok);
        QTRY_COMPARE_WITH_TIMEOUT(lock.log.matching("hold:").size(), 2, 3000);
        QVERIFY(sameOutput(kwin.output("Virtual-0"), before));
        QCOMPARE(lock.applies(), QStringList());
    }

    // phoc: the head at the origin is pinned, and the lock undoes another program's custom
    // mode on it at once (the poll is far off), leaving the other head alone, in whatever
    // mode somebody gives it.
    void phocHoldsThePinnedHeadOnly()
    {
        REQUIRE_HOST(phoc);
        const WitnessOutput other = phoc.output("HEADLESS-2");
        Pinned<WlrootsDisplayBackend> backend(phoc.socket().toStdString());
        QVERIFY(backend.offered());
        QCOMPARE(QString::fromStdString(backend.pinOutput()), QString("HEADLESS-1"));
        QCOMPARE(enumerateModes(backend), phoc.output("HEADLESS-1").modes);

        HeldLock lock(std::make_unique<WlrootsDisplayBackend>(phoc.socket().toStdString()), Hd, 5000);
        bool ok = false;
        phoc.run({"wlr-randr", "--output", "HEADLESS-1", "--custom-mode", "1024x768"}, &ok);
        QVERIFY(ok);
        QTRY_VERIFY_WITH_TIMEOUT(!lock.applies().isEmpty(), 3000);
        QTRY_VERIFY_WITH_TIMEOUT(phoc.output("HEADLESS-1").mode() == Hd, 2000);
        QVERIFY(sameOutput(phoc.output("HEADLESS-2"), other));

        phoc.run({"wlr-randr", "--output", "HEADLESS-2", "--custom-mode", "800x600"}, &ok);
        QVERIFY(ok);
        QTest::qWait(1000);
        QVERIFY(phoc.output("HEADLESS-2").mode() == DisplayMode({800, 600, 32, 60}));
        for (const QString &line : lock.applies())
            QCOMPARE(line, QString("applyDisplaySetting():32 1280 720 60"));
        phoc.run({"wlr-randr", "--output", "HEADLESS-2", "--custom-mode", "1280x720"}, &ok);
    }

    // sway 1.7 reports every head off at 0x0 while it shows them: nothing is pinned, listed or
    // set there, and the reason is said.
    void swayIsNeverConfigured()
    {
        REQUIRE_HOST(sway);
        MessageCapture log;
        Pinned<WlrootsDisplayBackend> backend(sway.socket().toStdString());
        QVERIFY(backend.offered());
        QCOMPARE(backend.pinOutput(), std::string());
        QCOMPARE(log.matching("wlroots:").size(), 1);
        DisplayMode m;
        QVERIFY(!backend.mode(0, m));
        QCOMPARE(backend.apply(Hd), DisplayBackend::ApplyResult::Absent);
        QCOMPARE(backend.current(m), DisplayBackend::OutputState::Absent);
    }

    // phoc: the primary and the monitor on HEADLESS-2 locked at modes of their own (HEADLESS-2 at a
    // custom one), HEADLESS-3 not held. All three switched by one foreign configuration: the two
    // held ones come back on the announcement (the poll is far off), HEADLESS-3 stays as put.
    void phocHoldsEveryLockedHeadOnItsOwn()
    {
        REQUIRE_HOST(phoc);
        const DisplayMode xga{1024, 768, 32, 60};
        const DisplayMode svga{800, 600, 32, 60};
        bool ok = false;
        phoc.run({"wlr-randr", "--output", "HEADLESS-2", "--custom-mode", "1024x768"}, &ok);
        QVERIFY(ok);
        QTRY_VERIFY_WITH_TIMEOUT(phoc.output("HEADLESS-2").mode() == xga, 2000);
        {
            HeldLock lock(std::make_unique<WlrootsDisplayBackend>(phoc.socket().toStdString()), Hd, 60000);
            QVERIFY(lock.holdMonitor("HEADLESS-2", xga));
            phoc.run({"wlr-randr", "--output", "HEADLESS-1", "--custom-mode", "800x600", "--output", "HEADLESS-2",
                      "--custom-mode", "1152x864", "--output", "HEADLESS-3", "--custom-mode", "800x600"},
                     &ok);
            QVERIFY(ok);
            QTRY_VERIFY_WITH_TIMEOUT(phoc.output("HEADLESS-1").mode() == Hd && phoc.output("HEADLESS-2").mode() == xga,
                                     3000);
            QTest::qWait(1000);
            QVERIFY(phoc.output("HEADLESS-1").mode() == Hd);
            QVERIFY(phoc.output("HEADLESS-2").mode() == xga);
            QVERIFY(phoc.output("HEADLESS-3").mode() == svga);
            QStringList asked = lock.applies();
            asked.removeDuplicates();
            QCOMPARE(asked, QStringList({"applyDisplaySetting():32 1280 720 60", "applyDisplaySetting():32 1024 768 60"}));
        }
        phoc.run({"wlr-randr", "--output", "HEADLESS-2", "--custom-mode", "1280x720", "--output", "HEADLESS-3",
                  "--custom-mode", "1280x720"},
                 &ok);
        QVERIFY(ok);
    }

    // KWin: the program (-d) holds the primary and Virtual-1, stored as locked. Its outputs take
    // no other mode, so what is checked is that both are read on the announcement of a foreign
    // change of Virtual-2 (switched off), which is left off, and that nothing is applied.
    void kwinProgramHoldsTwoAndLeavesTheThird()
    {
        REQUIRE_HOST(kwin);
        ProgramHome home;
        {
            Pinned<KdeDisplayBackend> backend(kwin.socket().toStdString());
            std::vector<DisplayOutput> outputs;
            QVERIFY(backend.readOutputs(outputs));
            const DisplayOutput *second = nullptr;
            QCOMPARE(DisplayBackend::stateOf(outputs, "Virtual-1", &second), DisplayBackend::OutputState::Active);
            QSettings settings(home.settingsFile(), QSettings::IniFormat);
            MonitorSettings::store(settings, *second, Hd, true);
        }
        QProcess velmora;
        startProgram(velmora, kwin, home);
        QByteArray err;
        QVERIFY2(waitForError(velmora, err, "msec:", 15000), err.constData());
        // The stored lock is held from the start; the primary's (-d) a turn of the event loop
        // later, which a slow build (sanitizers) may not have taken yet.
        QTest::qWait(2000);
        bool ok = false;
        kwin.run({"kscreen-doctor", "output.Virtual-2.disable"}, &ok);
        QVERIFY(ok);
        QVERIFY2(waitForError(velmora, err, "update(Virtual-1):now=0,locked=0", 5000), err.constData());
        QTest::qWait(1000);
        err += stopProcess(velmora);
        QCOMPARE(velmora.exitCode(), 0);
        QVERIFY2(err.contains("update():now=0,locked=0"), err.constData());
        QVERIFY2(!err.contains("update(Virtual-2)"), err.constData());
        QVERIFY2(!err.contains("applyDisplaySetting()"), err.constData());
        QVERIFY(!kwin.output("Virtual-2").enabled);
        QVERIFY(kwin.output("Virtual-0").mode() == Hd && kwin.output("Virtual-1").mode() == Hd);
        kwin.run({"kscreen-doctor", "output.Virtual-2.enable", "output.Virtual-2.position.2560,0",
                  "output.Virtual-0.priority.1", "output.Virtual-1.priority.2", "output.Virtual-2.priority.3"},
                 &ok);
        QVERIFY(ok);
    }

    // phoc: an arrangement set through the backend (HEADLESS-1 and HEADLESS-2 swap places,
    // HEADLESS-2 turned, HEADLESS-3 scaled) is what wlr-randr reports; the transform another
    // program gave HEADLESS-3 just before is read and kept.
    void phocTakesAnArrangement()
    {
        REQUIRE_HOST(phoc);
        bool ok = false;
        phoc.run({"wlr-randr", "--output", "HEADLESS-3", "--transform", "180"}, &ok);
        QVERIFY(ok);
        WlrootsDisplayBackend backend(phoc.socket().toStdString());
        std::vector<DisplayOutput> outputs;
        QVERIFY(backend.readOutputs(outputs));
        const DisplayOutput *third = nullptr;
        DisplayBackend::stateOf(outputs, "HEADLESS-3", &third);
        QVERIFY(third && third->transform == Rotated180 && third->x == 2560);

        const OutputChange one{"HEADLESS-1", std::nullopt, std::make_pair(1280, 0)};
        const OutputChange two{"HEADLESS-2", std::nullopt, std::make_pair(0, 0), Rotated270};
        const OutputChange three{"HEADLESS-3", std::nullopt, std::nullopt, std::nullopt, 2.0};
        QCOMPARE(backend.apply({one, two, three}), DisplayBackend::ApplyResult::Applied);
        const WitnessOutput h1 = phoc.output("HEADLESS-1"), h2 = phoc.output("HEADLESS-2"),
                            h3 = phoc.output("HEADLESS-3");
        QVERIFY(h1.x == 1280 && h1.y == 0 && h1.transform == Normal && h1.scale == 1.0);
        QVERIFY(h2.x == 0 && h2.y == 0 && h2.transform == Rotated270 && h2.scale == 1.0);
        QVERIFY(h3.x == 2560 && h3.transform == Rotated180 && h3.scale == 2.0);
        QVERIFY(h1.mode() == Hd && h2.mode() == Hd && h3.mode() == Hd);
        phoc.run({"wlr-randr", "--output", "HEADLESS-1", "--pos", "0,0", "--output", "HEADLESS-2", "--pos", "1280,0",
                  "--transform", "normal", "--output", "HEADLESS-3", "--transform", "normal", "--scale", "1"},
                 &ok);
        QVERIFY(ok);
    }

    // KWin: an arrangement set through the backend (Virtual-0 and Virtual-1 swap places,
    // Virtual-1 turned, Virtual-2 scaled and made the primary) is what kscreen-doctor reports:
    // the new primary and the old one change places in KWin's order, Virtual-1 keeps its own.
    void kwinTakesAnArrangement()
    {
        REQUIRE_HOST(kwin);
        KdeDisplayBackend backend(kwin.socket().toStdString());
        QVERIFY(backend.features().primary);
        const OutputChange zero{"Virtual-0", std::nullopt, std::make_pair(720, 0)};
        const OutputChange one{"Virtual-1", std::nullopt, std::make_pair(0, 0), Rotated90};
        const OutputChange two{"Virtual-2", std::nullopt, std::nullopt, std::nullopt, 1.5, true};
        QCOMPARE(backend.apply({zero, one, two}), DisplayBackend::ApplyResult::Applied);
        const WitnessOutput v0 = kwin.output("Virtual-0"), v1 = kwin.output("Virtual-1"), v2 = kwin.output("Virtual-2");
        QVERIFY(v0.x == 720 && v0.y == 0 && v0.transform == Normal && v0.scale == 1.0);
        QVERIFY(v1.x == 0 && v1.y == 0 && v1.transform == Rotated90 && v1.scale == 1.0);
        QVERIFY(v2.x == 2560 && v2.transform == Normal && v2.scale == 1.5);
        QCOMPARE(QList<int>({v0.priority, v1.priority, v2.priority}), QList<int>({3, 2, 1}));
        std::vector<DisplayOutput> outputs;
        QVERIFY(backend.readOutputs(outputs));
        QCOMPARE(DisplayBackend::primaryOf(outputs), std::string("Virtual-2"));
        bool ok = false;
        kwin.run({"kscreen-doctor", "output.Virtual-0.position.0,0", "output.Virtual-1.position.1280,0",
                  "output.Virtual-1.rotation.normal", "output.Virtual-2.scale.1", "output.Virtual-0.priority.1",
                  "output.Virtual-1.priority.2", "output.Virtual-2.priority.3"},
                 &ok);
        QVERIFY(ok);
    }

    // The program itself as a Wayland client, started in the background: on phoc it puts the
    // mode back after a foreign switch; on KWin it holds without touching anything.
    void programHoldsInTheBackground()
    {
        REQUIRE_HOST(phoc);
        REQUIRE_HOST(kwin);
        ProgramHome home;
        QProcess velmora;
        startProgram(velmora, phoc, home);
        QByteArray err;
        QVERIFY2(waitForError(velmora, err, "msec:", 15000), err.constData());
        QVERIFY2(err.contains("0: 1280 720 32 60"), err.constData());
        bool ok = false;
        phoc.run({"wlr-randr", "--output", "HEADLESS-1", "--custom-mode", "1024x768"}, &ok);
        QVERIFY(ok);
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(phoc.output("HEADLESS-1").mode() == Hd, 5000);
        qInfo("phoc: restored %lld ms after the foreign switch", clock.elapsed());
        err += stopProcess(velmora);
        QVERIFY2(err.contains("applyDisplaySetting():32 1280 720 60"), err.constData());
        QCOMPARE(velmora.exitCode(), 0);

        ProgramHome kwinHome;
        QProcess onKwin;
        startProgram(onKwin, kwin, kwinHome);
        err.clear();
        QVERIFY2(waitForError(onKwin, err, "msec:", 15000), err.constData());
        QVERIFY2(err.contains("0: 1280 720 32 60"), err.constData());
        QTest::qWait(1500);
        err += stopProcess(onKwin);
        QCOMPARE(onKwin.exitCode(), 0);
        QVERIFY2(!err.contains("applyDisplaySetting()"), err.constData());
        QVERIFY(kwin.output("Virtual-0").mode() == Hd);
    }

    // The program (-d) holding the arrangement of KWin's three outputs, taken with velmoractl,
    // against kscreen-doctor: places, a rotation, a scale and the primary (KWin's first);
    // Virtual-2 switched off and on again.
    void kwinProgramHoldsTheArrangement()
    {
        REQUIRE_HOST(kwin);
        const QStringList found = layoutOf(kwin.outputs());
        auto doctor = [this](const QStringList &arguments) {
            bool ok = false;
            kwin.run(QStringList{"kscreen-doctor"} + arguments, &ok);
            return ok;
        };
        ArrangementScenario scenario;
        scenario.monitors = QStringList{"Virtual-0", "Virtual-1", "Virtual-2"};
        // Virtual-1 first, turned (720 wide), and the primary; Virtual-2 at scale 1.5 after them.
        const QStringList other{"output.Virtual-1.position.0,0", "output.Virtual-1.rotation.left",
                                "output.Virtual-0.position.720,0", "output.Virtual-2.position.2000,0",
                                "output.Virtual-2.scale.1.5", "output.Virtual-1.priority.1",
                                "output.Virtual-0.priority.2", "output.Virtual-2.priority.3"};
        scenario.foreign = [&] { return doctor(other); };
        scenario.held = [&] {
            return laidOut(kwin, {{"Virtual-0", 0, 0, 0, 1.0}, {"Virtual-1", 1280, 0, 0, 1.0}, {"Virtual-2", 2560, 0, 0, 1.0}})
                && kwin.output("Virtual-0").priority == 1;
        };
        scenario.unplug = [&] { return doctor({"output.Virtual-2.disable"}); };
        scenario.unplugged = [&] {
            return !kwin.output("Virtual-2").enabled && laidOut(kwin, {{"Virtual-1", 0, 0, 1, 1.0}, {"Virtual-0", 720, 0, 0, 1.0}})
                && kwin.output("Virtual-1").priority == 1;
        };
        // Under load kscreen-doctor may say it failed once KWin took the output on: what counts is
        // that it is on (the program lays it out).
        scenario.dock = [&] {
            return doctor({"output.Virtual-2.enable", "output.Virtual-2.position.2000,0"})
                || kwin.output("Virtual-2").enabled;
        };
        scenario.reset = [&] {
            doctor({"output.Virtual-2.enable", "output.Virtual-0.position.0,0", "output.Virtual-1.position.1280,0",
                    "output.Virtual-2.position.2560,0", "output.Virtual-1.rotation.normal", "output.Virtual-2.scale.1",
                    "output.Virtual-0.priority.1", "output.Virtual-1.priority.2", "output.Virtual-2.priority.3"});
        };
        ProgramHome home;
        scenario.run(home, home.waylandHost(kwin));
        QCOMPARE(layoutOf(kwin.outputs()), found);
    }

    // The same on phoc with wlr-randr: places, a transform and a scale (wlroots has no
    // primary). phoc refuses to switch a head off and then piles every head at 0,0: no
    // other set here.
    void phocProgramHoldsTheArrangement()
    {
        REQUIRE_HOST(phoc);
        const QStringList found = layoutOf(phoc.outputs());
        auto randr = [this](const QStringList &arguments) {
            bool ok = false;
            phoc.run(QStringList{"wlr-randr"} + arguments, &ok);
            return ok;
        };
        ArrangementScenario scenario;
        scenario.monitors = QStringList{"HEADLESS-1", "HEADLESS-2", "HEADLESS-3"};
        scenario.foreign = [&] {
            return randr({"--output", "HEADLESS-1", "--pos", "1280,0", "--output", "HEADLESS-2", "--pos", "0,0",
                          "--transform", "270", "--output", "HEADLESS-3", "--scale", "2"});
        };
        scenario.held = [&] {
            return laidOut(phoc, {{"HEADLESS-1", 0, 0, 0, 1.0}, {"HEADLESS-2", 1280, 0, 0, 1.0}, {"HEADLESS-3", 2560, 0, 0, 1.0}});
        };
        scenario.reset = [&] {
            randr({"--output", "HEADLESS-1", "--pos", "0,0", "--output", "HEADLESS-2", "--pos", "1280,0", "--transform",
                   "normal", "--output", "HEADLESS-3", "--pos", "2560,0", "--scale", "1"});
        };
        ProgramHome home;
        scenario.run(home, home.waylandHost(phoc));
        QCOMPARE(layoutOf(phoc.outputs()), found);
    }
};

QTEST_GUILESS_MAIN(TestWaylandHosts)
#include "tst_waylandhosts.moc"
