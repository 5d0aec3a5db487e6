// The whole program in a GNOME Wayland session's environment, reproduced with the nested Mutter:
// a Wayland client of it, DISPLAY at its XWayland, XDG_SESSION_TYPE=wayland, the session bus
// Mutter serves. Checked from outside with gdbus and with screenshots of the nested desktop.
// Also GNOME on X11 (Mutter as the window manager): RandR stays the platform.
#include "ArrangementScenario.h"
#include "ProgramHome.h"
#include "TestSupport.h"
#include "tst_gnomehost.h"

#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QRegularExpression>

using namespace MutterHost;

namespace {
// Pixels in `area` that differ between two screenshots (every other row and column).
int changedPixels(const QImage &a, const QImage &b, const QRect &area)
{
    int n = 0;
    const QRect r = area.intersected(a.rect()).intersected(b.rect());
    for (int y = r.top(); y <= r.bottom(); y += 2) {
        for (int x = r.left(); x <= r.right(); x += 2)
            n += a.pixel(x, y) != b.pixel(x, y);
    }
    return n;
}

bool switchNested(const Host &h, const QString &mode)
{
    bool ok = false;
    gdbus(h, "ApplyMonitorsConfig",
          {QString::number(state(h).serial), "1",
           QString("[(0,0,1.0,0,true,[('LVDS1','%1',@a{sv} {})]),(%2,0,1.0,0,false,[('LVDS2','1920x1080@60.000',@a{sv} {})])]")
               .arg(mode)
               .arg(mode.section('x', 0, 0)),
           "@a{sv} {}"},
          &ok);
    return ok;
}
} // namespace

class TestGnomeEndToEnd : public QObject
{
    Q_OBJECT

    Host nested;
    Host nested3; // three monitors
    Host x11;
    std::unique_ptr<ProgramHome> home;

    void start(QProcess &velmora, const QProcessEnvironment &env, const QStringList &arguments)
    {
        QVERIFY(home->start(velmora, arguments, env));
    }

    QString settingsValue(const QString &key) const { return home->stored(key).toString(); }

    QImage screenshot(const QString &name) const
    {
        const QString file = QDir(nested.dir).filePath(name + ".png");
        run(nested, "import", {"-window", "root", file});
        return QImage(file);
    }

    bool resetNested()
    {
        if (state(nested).monitor("LVDS1")->currentId() != "1920x1080@60.000")
            switchNested(nested, "1920x1080@60.000");
        return waitFor([this] { return state(nested).monitor("LVDS1")->currentId() == "1920x1080@60.000"; });
    }

private slots:
    void initTestCase()
    {
        nested = host(QStringLiteral(VELMORA_MUTTER_NESTED_DIR));
        nested3 = host(QStringLiteral(VELMORA_MUTTER_NESTED3_DIR));
        x11 = host(QStringLiteral(VELMORA_MUTTER_X11_DIR));
    }

    void init() { home = std::make_unique<ProgramHome>(); }

    // -d locks the mode in use and puts it back after a foreign ApplyMonitorsConfig.
    void backgroundStartHoldsTheModeOnWayland()
    {
        REQUIRE_HOST(nested);
        QVERIFY(resetNested());
        // What today's X11 layer would have listed: XWayland's emulated output.
        QVERIFY(run(nested, "xrandr", {"-d", nested.value("xwayland")}).contains("XWAYLAND0 connected"));

        QProcess velmora;
        start(velmora, home->gnomeWayland(nested), {"-d"});
        QByteArray err;
        QVERIFY2(waitForError(velmora, err, "msec:1000", 15000), err.constData());
        QCOMPARE(settingsValue("DisplaySettings/PelsWidth"), QString("1920"));
        QCOMPARE(settingsValue("DisplaySettings/PelsHeight"), QString("1080"));
        QCOMPARE(settingsValue("DisplaySettings/BitsPerPel"), QString("32"));
        QCOMPARE(settingsValue("DisplaySettings/DisplayFrequency"), QString("60"));

        for (const QString &foreign : {QString("1280x720@60.000"), QString("1920x1080@59.940")}) {
            QVERIFY(switchNested(nested, foreign));
            QElapsedTimer clock;
            clock.start();
            QVERIFY(waitFor([this] { return state(nested).monitor("LVDS1")->currentId() == "1920x1080@60.000"; }, 5000));
            // Within one poll interval and Mutter's own time for two changes.
            QVERIFY2(clock.elapsed() < 1000 + 1500, qPrintable(QString::number(clock.elapsed())));
        }
        QVERIFY2(velmora.state() == QProcess::Running, velmora.readAllStandardError().constData());
        err += stopProcess(velmora);
        QVERIFY2(!err.contains("no display platform"), err.constData());
    }

    // A foreground start shows the window, as a Wayland client of the nested Mutter.
    void foregroundStartShowsTheWindowOnWayland()
    {
        REQUIRE_HOST(nested);
        QVERIFY(resetNested());
        // The nested desktop's window lies at the top left of the test X server's screen;
        // its primary monitor, where the window opens, fits on 1600x900.
        QVERIFY(run(nested, "xrandr", {"--output", "DUMMY0", "--mode", "1600x900_60"}).isEmpty());
        QTest::qWait(500);
        const QRect desktop(0, 0, 1600, 900);
        const QImage before = screenshot("before");
        QVERIFY(!before.isNull());

        QProcess velmora;
        start(velmora, home->gnomeWayland(nested), {});
        QImage after;
        QVERIFY2(waitFor(
                     [&] {
                         after = screenshot("window");
                         // The window is 375x290: some 27,000 samples.
                         return changedPixels(before, after, desktop) > 10000;
                     },
                     15000),
                 "no window appeared on the nested desktop");
        // A Wayland client: nothing of it on XWayland.
        const QString tree = run(nested, "xwininfo", {"-display", nested.value("xwayland"), "-root", "-tree"});
        QVERIFY2(!tree.contains("\"velmora\""), qPrintable(tree));
        QByteArray err = velmora.readAllStandardError();
        QVERIFY2(velmora.state() == QProcess::Running, err.constData());
        QVERIFY2(!err.contains("no display platform"), err.constData());
        // The catalogue is Mutter's list for the monitor, 59.94 Hz as 59 (and 23.976 Hz as 23).
        QVERIFY2(QString::fromUtf8(err).contains(QRegularExpression("\\d: 1920 1080 32 59\n\\d: 1920 1080 32 60\n")), err.constData());
        QVERIFY2(QString::fromUtf8(err).contains(QRegularExpression("\\d: 1920 1080 32 23\n\\d: 1920 1080 32 24\n")), err.constData());
        stopProcess(velmora);
        run(nested, "xrandr", {"--output", "DUMMY0", "--mode", "1024x768_60"});
    }

    // A Wayland session with neither real RandR, Mutter's service nor an output-management protocol.
    // One diagnostic line, and -d still starts quietly.
    void noPlatformIsSaid()
    {
        REQUIRE_HOST(nested);
        QProcessEnvironment env = home->gnomeWayland(nested);
        env.remove("DISPLAY");
        env.insert("XDG_CURRENT_DESKTOP", "KDE");
        env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home->path() + "/no-bus");
        QProcess velmora;
        start(velmora, env, {"-d"});
        QByteArray err;
        const QByteArray line = "no display platform for this session (XDG_SESSION_TYPE=wayland, XDG_CURRENT_DESKTOP=KDE): "
                                "no X server (DISPLAY is not set), org.gnome.Mutter.DisplayConfig is not on the session bus, "
                                "and no Wayland compositor offers KDE's or wlroots' output management\n";
        // With nothing to list there is no mode to hold: the background lock says so.
        QVERIFY2(waitForError(velmora, err, "lock: ", 15000), err.constData());
        QVERIFY2(err.contains(line), err.constData());
        QCOMPARE(err.count(line), 1);
        QTest::qWait(1500);
        err += velmora.readAllStandardError();
        QVERIFY2(velmora.state() == QProcess::Running, err.constData());
        QCOMPARE(err.count("no display platform"), 1);
        stopProcess(velmora);
    }

    // Three monitors in a row, LVDS1 primary, held with velmoractl: what other clients of
    // DisplayConfig do to it (velmoractl status and the program's lines, gdbus the witness).
    void heldArrangementOnWayland()
    {
        const Host &h = nested3;
        REQUIRE_HOST(h);
        const auto layout = [](const QList<Place> &places) {
            QStringList text;
            for (const Place &p : places)
                text << QString("%1 %2 %3,%4 %5 %6 %7").arg(p.connector, p.mode).arg(p.x).arg(p.y).arg(p.scale).arg(p.transform).arg(p.primary);
            text.sort();
            return text;
        };
        const QList<Place> found = placesOf(state(h));
        const QString full = "1920x1080@60.000";
        QVERIFY(foreignApply(h, {{0, 0, 1.0, true, "LVDS1", full}, {1920, 0, 1.0, false, "LVDS2", full},
                                 {3840, 0, 1.0, false, "LVDS3", full}}));
        QVERIFY(waitFor([&] { return state(h).logical("LVDS3") && state(h).logical("LVDS3")->x == 3840; }));
        // LVDS2 primary, LVDS1 turned beside it, LVDS3 at scale 2 (960x540) after them.
        const QList<Place> other{{0, 0, 1.0, true, "LVDS2", full}, {1920, 0, 1.0, false, "LVDS1", full, 1},
                                 {3000, 0, 2.0, false, "LVDS3", full}};
        ArrangementScenario scenario;
        scenario.monitors = QStringList{"LVDS1", "LVDS2", "LVDS3"};
        scenario.foreign = [&] { return foreignApply(h, other); };
        scenario.held = [&] {
            const State s = state(h);
            const Logical *one = s.logical("LVDS1"), *two = s.logical("LVDS2"), *three = s.logical("LVDS3");
            return s.logicals.size() == 3 && one && two && three && one->primary && !two->primary && !three->primary
                && QList<int>({one->x, one->y, two->x, two->y, three->x, three->y}) == QList<int>({0, 0, 1920, 0, 3840, 0})
                && one->transform == 0 && three->scale == 1.0;
        };
        scenario.unplug = [&] { return foreignApply(h, other.mid(0, 2)); };
        scenario.unplugged = [&] {
            const State s = state(h);
            const Logical *one = s.logical("LVDS1"), *two = s.logical("LVDS2");
            return s.logicals.size() == 2 && one && two && two->primary && one->x == 1920 && one->transform == 1;
        };
        scenario.dock = scenario.foreign;
        // Every look and every change is a gdbus process or two: the other program is slow.
        scenario.interval = 2000;
        scenario.reset = [&] {
            foreignApply(h, found);
            QVERIFY(waitFor([&] { return placesOf(state(h)).size() == found.size(); }));
        };
        scenario.run(*home, home->gnomeWayland(h));
        QCOMPARE(layout(placesOf(state(h))), layout(found));
    }

    // GNOME on X11: RandR is the platform, and a restore is as quick as on a bare X server.
    void gnomeOnX11KeepsRandR()
    {
        REQUIRE_HOST(x11);
        run(x11, "xrandr", {"--output", "DUMMY1", "--off"});
        run(x11, "xrandr", {"--output", "DUMMY0", "--primary", "--mode", "1024x768_60"});
        QProcess velmora;
        start(velmora, home->gnomeX11(x11), {"-d"});
        QByteArray err;
        QVERIFY2(waitForError(velmora, err, "msec:1000", 15000), err.constData());
        QCOMPARE(settingsValue("DisplaySettings/PelsWidth"), QString("1024"));

        // Mutter's DisplayConfig is not used: the restore comes through RandR, well inside
        // the poll interval (a DisplayConfig holder needs tens of ms more).
        QList<qint64> took;
        for (const QString &foreign : {QString("800x600_60"), QString("1400x900"), QString("800x600_60")}) {
            QVERIFY(run(x11, "xrandr", {"--output", "DUMMY0", "--mode", foreign}).isEmpty());
            QElapsedTimer clock;
            clock.start();
            QVERIFY(waitFor([this] { return run(x11, "xrandr", {"--current"}).contains("current 1024 x 768"); }, 5000));
            took << clock.elapsed();
        }
        std::sort(took.begin(), took.end());
        QVERIFY2(took[1] < 1000, qPrintable(QString::number(took[1])));
        err += stopProcess(velmora);
        QVERIFY2(!err.contains("GNOME:"), err.constData());
    }
};

QTEST_GUILESS_MAIN(TestGnomeEndToEnd)
#include "tst_gnomeendtoend.moc"
