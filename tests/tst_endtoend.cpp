// The whole program on the real X server with a tray host, driven and checked from outside:
// xrandr switches modes, xdotool clicks the tray, xwininfo shows what is on the screen.
#include "ProgramHome.h"
#include "TestSupport.h"
#include "XdgAutoRunStore.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <xcb/xcb.h>

namespace {
QString run(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.start(program, arguments);
    p.waitForFinished(10000);
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

QString windowTree() { return run("xwininfo", {"-root", "-tree"}); }

QString currentModeName()
{
    QString out;
    TestXServer::xrandr({"--verbose"}, &out);
    const auto m = QRegularExpression(R"(\n  (\S+) \(0x[0-9a-f]+\) [^\n]*\*current)").match(out);
    return m.hasMatch() ? m.captured(1) : QString();
}

struct Window
{
    QString id;
    QRect geometry; // absolute
};

// Windows of the program (WM_CLASS "velmora") in the tree, with the panel they sit in, if any.
QList<Window> programWindows(const QString &tree, bool insidePanelOnly)
{
    QList<Window> out;
    static const QRegularExpression line(
        R"(^(\s*)(0x[0-9a-f]+) .*\(("[^"]*") ("[^"]*")\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))");
    int panelIndent = -1;
    for (const QString &l : tree.split('\n')) {
        const auto m = line.match(l);
        const int indent = int(l.size() - l.trimmed().size());
        if (panelIndent >= 0 && indent <= panelIndent && !l.trimmed().isEmpty() && !l.trimmed().endsWith("children:")
            && !l.trimmed().endsWith("child:"))
            panelIndent = -1;
        if (!m.hasMatch())
            continue;
        if (m.captured(3) == "\"panel\"" && m.captured(4) == "\"trayer\"")
            panelIndent = indent;
        if (m.captured(3) != "\"velmora\"")
            continue;
        if (insidePanelOnly && panelIndent < 0)
            continue;
        out.append({m.captured(2), QRect(m.captured(7).toInt(), m.captured(8).toInt(), m.captured(5).toInt(),
                                         m.captured(6).toInt())});
    }
    return out;
}

bool isViewable(const QString &id)
{
    return run("xwininfo", {"-id", id}).contains("Map State: IsViewable");
}

// The program's main window while it is on screen (the tray icon and its menu are narrower).
Window shownWindow()
{
    for (const Window &w : programWindows(windowTree(), false)) {
        if (w.geometry.width() >= 375 && isViewable(w.id))
            return w;
    }
    return Window();
}

// Asks a top-level window to close the way a window manager's close button does.
bool sendDeleteWindow(const QString &display, quint32 window)
{
    xcb_connection_t *c = xcb_connect(display.toLocal8Bit().constData(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return false;
    }
    auto atom = [c](const char *name) {
        xcb_intern_atom_reply_t *r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(r);
        return a;
    };
    xcb_client_message_event_t event = {};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    // Checked: the server has handled the request before this connection goes away.
    xcb_generic_error_t *error = xcb_request_check(
        c, xcb_send_event_checked(c, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&event)));
    free(error);
    xcb_disconnect(c);
    return !error;
}
} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    QString display;
    QString output;
    QProcess trayer;
    std::unique_ptr<ProgramHome> home;
    QString lang = QStringLiteral("C.UTF-8");

    void startVelmora(QProcess &velmora, const QStringList &arguments)
    {
        QVERIFY(home->start(velmora, arguments, home->x11(display, lang)));
    }

    QString settingsValue(const QString &key) { return home->stored(key).toString(); }

private Q_SLOTS:
    void initTestCase()
    {
        REQUIRE_XSERVER();
        display = QString::fromLocal8Bit(qgetenv("DISPLAY"));
        QString out;
        QVERIFY(TestXServer::xrandr({"--current"}, &out));
        output = QRegularExpression(R"((\S+) connected primary)").match(out).captured(1);
        QVERIFY(!output.isEmpty());
        QVERIFY(TestXServer::xrandr({"--output", output, "--mode", "1024x768_60"}));

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display);
        trayer.setProcessEnvironment(env);
        trayer.setStandardOutputFile(QProcess::nullDevice());
        trayer.setStandardErrorFile(QProcess::nullDevice());
        trayer.start("trayer", {"--edge", "bottom", "--align", "right", "--widthtype", "request", "--height", "32"});
        QVERIFY2(trayer.waitForStarted(), "trayer is not installed");
        QTRY_VERIFY_WITH_TIMEOUT(windowTree().contains("(\"panel\" \"trayer\")"), 10000);
    }

    void cleanupTestCase()
    {
        if (trayer.state() != QProcess::NotRunning) {
            trayer.terminate();
            trayer.waitForFinished(5000);
        }
        if (!output.isEmpty())
            TestXServer::xrandr({"--output", output, "--mode", "1024x768_60"});
    }

    void init()
    {
        home = std::make_unique<ProgramHome>();
        lang = QStringLiteral("C.UTF-8");
    }

    void backgroundStartHoldsTheModeAndEndsFromTheTray()
    {
        QProcess velmora;
        startVelmora(velmora, {"-d", "50%", "-D", " -d"});
        QByteArray err;
        QVERIFY2(waitForError(velmora, err, "msec:1000", 10000), err.constData());

        // Every argument is echoed as it is, one line each, in order.
        QVERIFY2(err.contains("\n-d\n50%\n-D\n -d\n"), err.constData());

        // The store is seeded with the mode in use, which is the one locked.
        QCOMPARE(settingsValue("DisplaySettings/PelsWidth"), QString("1024"));
        QCOMPARE(settingsValue("DisplaySettings/PelsHeight"), QString("768"));
        QCOMPARE(settingsValue("DisplaySettings/BitsPerPel"), QString("32"));
        QCOMPARE(settingsValue("DisplaySettings/DisplayFrequency"), QString("60"));
        QCOMPARE(settingsValue("Deamon/msec"), QString("1000"));
        // The log-on start entry runs this very program in the background (its path quoted
        // where it needs to be), unless others could replace the program: then it has none.
        const XdgAutoRunStore store;
        const QString program = QStringLiteral(VELMORA_BINARY);
        QFile entry(home->configHome() + "/autostart/Velmora.desktop");
        if (const QString refusedAt = store.replaceableAt(program); refusedAt.isEmpty()) {
            QVERIFY(entry.open(QIODevice::ReadOnly));
            const QString exec = QString::fromUtf8(entry.readAll());
            const QString line = "\nExec=" + XdgAutoRunStore::escapeValue(store.command(program, "-d")) + "\n";
            QVERIFY2(exec.contains(line), qPrintable(exec));
        } else {
            QVERIFY(!entry.exists());
            QVERIFY2(err.contains(("updateAutorun(): not registered: other users can write " + refusedAt + "\n").toUtf8()),
                     err.constData());
        }

        // The tray icon sits in the tray host; no window of the program is on screen.
        QList<Window> icons;
        QTRY_VERIFY_WITH_TIMEOUT(!(icons = programWindows(windowTree(), true)).isEmpty(), 5000);
        for (const Window &w : programWindows(windowTree(), false)) {
            if (w.geometry.width() >= 375)
                QVERIFY2(!isViewable(w.id), "the main window is shown despite -d");
        }

        // Another program switches the mode: it is put back within an interval.
        for (const QString &foreign : {QString("800x600_60"), QString("1600x900_60")}) {
            QVERIFY(TestXServer::xrandr({"--output", output, "--mode", foreign}));
            QElapsedTimer clock;
            clock.start();
            QString now;
            while (clock.elapsed() < 5000 && (now = currentModeName()) != "1024x768_60")
                QTest::qWait(20);
            QCOMPARE(now, QString("1024x768_60"));
            QVERIFY2(clock.elapsed() < 1000 + 600, qPrintable(QString::number(clock.elapsed())));
        }

        // Right click on the icon, then the second entry of its menu: Exit.
        const QPoint icon = icons.first().geometry.center();
        const QStringList before = [] {
            QStringList ids;
            for (const Window &w : programWindows(windowTree(), false))
                ids << w.id;
            return ids;
        }();
        run("xdotool", {"mousemove", QString::number(icon.x()), QString::number(icon.y()), "click", "3"});
        Window menu;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const Window &w : programWindows(windowTree(), false)) {
                    if (!before.contains(w.id) && isViewable(w.id)) {
                        menu = w;
                        return true;
                    }
                }
                return false;
            }(),
            5000);
        const QPoint exitEntry(menu.geometry.center().x(), menu.geometry.top() + menu.geometry.height() * 3 / 4);
        run("xdotool", {"mousemove", QString::number(exitEntry.x()), QString::number(exitEntry.y()), "click", "1"});
        QVERIFY(velmora.waitForFinished(10000));
        err += velmora.readAllStandardError();
        QCOMPARE(velmora.exitStatus(), QProcess::NormalExit);
        QVERIFY2(velmora.exitCode() == 0, err.right(4000).constData());
        QVERIFY2(!err.contains("Destroyed while thread"), err.constData());
        QVERIFY2(!err.contains("Timers cannot be stopped"), err.constData());
    }

    void monitorsComingAndGoingWhileLocked()
    {
        // A slow poll: the restores below come from change announcements (at most one per
        // interval, so the second waits for the first's interval to pass).
        home->store("Deamon/msec", 4000);
        QVERIFY(TestXServer::connectSecondOutput());
        QProcess velmora;
        startVelmora(velmora, {"-d"});
        QByteArray err;
        QVERIFY2(waitForError(velmora, err, "msec:4000", 10000), err.constData());
        auto restoredWithin = [&](int ms) {
            QElapsedTimer clock;
            clock.start();
            while (clock.elapsed() < ms) {
                if (TestXServer::outputMode(output) == "1024x768_60")
                    return true;
                QTest::qWait(20);
            }
            return false;
        };

        // The external monitor becomes primary: the locked output is still the one held.
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY1", "--primary"}));
        QVERIFY(TestXServer::xrandr({"--output", output, "--mode", "800x600_60"}));
        QVERIFY(restoredWithin(1000));
        QCOMPARE(TestXServer::outputMode("DUMMY1"), QString("1024x768_60"));

        // Switched off by somebody else: it stays off through a poll, and is held again once
        // it is back.
        QVERIFY(TestXServer::xrandr({"--output", output, "--off"}));
        QTest::qWait(4500);
        QCOMPARE(TestXServer::outputMode(output), QString());
        QVERIFY(TestXServer::xrandr({"--output", output, "--mode", "1600x900_60", "--pos", "0x0"}));
        QVERIFY(restoredWithin(1000));
        QCOMPARE(TestXServer::outputMode("DUMMY1"), QString("1024x768_60"));

        velmora.terminate();
        QVERIFY(velmora.waitForFinished(10000));
        err += velmora.readAllStandardError();
        QVERIFY2(err.contains(QString("hold: %1 is off, waiting until it is on again").arg(output).toUtf8()), err.constData());
        QCOMPARE(err.count(QByteArray("hold: ")), 2);
        TestXServer::resetOutputs("1024x768_60");
    }

    void secondStartHandsOverToTheFirst()
    {
        QProcess first;
        startVelmora(first, {"-d"});
        QByteArray err;
        QVERIFY2(waitForError(first, err, "msec:1000", 10000), err.constData());
        QVERIFY(shownWindow().id.isEmpty());

        // Another background start (the log-on entry again): nothing visible happens.
        QProcess again;
        startVelmora(again, {"-d"});
        QVERIFY(again.waitForFinished(10000));
        QCOMPARE(again.exitCode(), 0);
        QTest::qWait(300);
        QVERIFY(shownWindow().id.isEmpty());

        // A start from the menu: the running instance shows its window, no second one runs.
        QProcess second;
        startVelmora(second, {});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        Window window;
        QTRY_VERIFY_WITH_TIMEOUT(!(window = shownWindow()).id.isEmpty(), 5000);
        QCOMPARE(first.state(), QProcess::Running);

        QVERIFY(sendDeleteWindow(display, window.id.toUInt(nullptr, 16)));
        QVERIFY(first.waitForFinished(10000));
        QVERIFY2(first.exitCode() == 0, first.readAllStandardError().right(4000).constData());
    }

    void foregroundStartShowsTheWindowAndClosingEndsIt()
    {
        QProcess velmora;
        // Near misses of "-d" do not count.
        startVelmora(velmora, {"-D", "--d", "-d "});
        Window window;
        QTRY_VERIFY_WITH_TIMEOUT(!(window = shownWindow()).id.isEmpty(), 10000);
        QCOMPARE(window.geometry.size(), QSize(375, 290));
        QTest::qWait(300);
        QByteArray err = velmora.readAllStandardError();
        QVERIFY2(!err.contains("msec:"), "the lock was engaged without -d");

        QVERIFY(sendDeleteWindow(display, window.id.toUInt(nullptr, 16)));
        const bool ended = velmora.waitForFinished(10000);
        err += velmora.readAllStandardError();
        QVERIFY2(ended, qPrintable(windowTree() + QString::fromLocal8Bit(err.right(3000))));
        QVERIFY2(velmora.exitCode() == 0, err.right(4000).constData());
        QVERIFY2(!err.contains("Destroyed while thread"), err.constData());
    }

    void sigtermEndsItCleanly()
    {
        QProcess velmora;
        startVelmora(velmora, {"-d"});
        QByteArray err;
        QVERIFY2(waitForError(velmora, err, "msec:1000", 10000), err.constData());
        QTRY_VERIFY_WITH_TIMEOUT(!programWindows(windowTree(), true).isEmpty(), 5000);
        velmora.terminate();
        QVERIFY(velmora.waitForFinished(10000));
        err += velmora.readAllStandardError();
        QCOMPARE(velmora.exitStatus(), QProcess::NormalExit);
        QVERIFY2(velmora.exitCode() == 0, err.right(4000).constData());
        QVERIFY2(!err.contains("Destroyed while thread"), err.constData());
        // Ended, not killed: the lock and the socket are gone, and the next start is the first
        // instance again.
        QVERIFY(!QFile::exists(home->runtimeDir() + "/velmora.lock"));
        QVERIFY(!QFile::exists(home->runtimeDir() + "/velmora.socket"));
        QProcess next;
        startVelmora(next, {"-d"});
        QByteArray nextErr;
        QVERIFY2(waitForError(next, nextErr, "msec:1000", 10000), nextErr.constData());
        QVERIFY(!nextErr.contains("already running"));
        next.terminate();
        QVERIFY(next.waitForFinished(10000));
        QCOMPARE(next.exitCode(), 0);
    }

    // The trial box of the real program, in the language of LANG; the rest of the texts are
    // checked in-process by tst_translations.
    void boxTitleFollowsTheLanguage_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("title");
        QTest::newRow("English") << "en_US.UTF-8" << "Display Settings";
        QTest::newRow("Chinese") << "zh_CN.UTF-8" << "显示设置";
        QTest::newRow("C") << "C" << "显示设置";
    }

    void boxTitleFollowsTheLanguage()
    {
        QFETCH(QString, locale);
        QFETCH(QString, title);
        lang = locale;
        QProcess velmora;
        startVelmora(velmora, {});
        Window window;
        QTRY_VERIFY_WITH_TIMEOUT(!(window = shownWindow()).id.isEmpty(), 10000);
        QTest::qWait(300);
        // The second row (another mode), then Apply at the top right.
        const QRect g = window.geometry;
        run("xdotool", {"mousemove", QString::number(g.left() + 50), QString::number(g.top() + 95), "click", "1"});
        QTest::qWait(200);
        run("xdotool", {"mousemove", QString::number(g.right() - 75), QString::number(g.top() + 40), "click", "1"});
        const QRegularExpression boxLine(QStringLiteral("(0x[0-9a-f]+) \"([^\"]*)\": \\(\"velmora\" \"Velmora\"\\)"));
        QString boxId, boxTitle;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                auto it = boxLine.globalMatch(windowTree());
                while (it.hasNext()) {
                    const auto m = it.next();
                    if (m.captured(2) != "Velmora" && !m.captured(2).isEmpty() && isViewable(m.captured(1))) {
                        boxId = m.captured(1);
                        boxTitle = m.captured(2);
                        return true;
                    }
                }
                return false;
            }(),
            10000);
        QCOMPARE(boxTitle, title);
        // Closing the box reverts, like Cancel; closing the window ends the program.
        QVERIFY(sendDeleteWindow(display, boxId.toUInt(nullptr, 16)));
        QTRY_COMPARE_WITH_TIMEOUT(currentModeName(), QString("1024x768_60"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!isViewable(boxId), 5000);
        QVERIFY(sendDeleteWindow(display, window.id.toUInt(nullptr, 16)));
        QVERIFY(velmora.waitForFinished(10000));
        QCOMPARE(velmora.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
