// A desktop no platform serves (KDE or wlroots on Wayland: no real RandR, no Mutter): the
// catalogue is empty, one diagnostic line names the session, and the window says so.
#include "DisplaySettings.h"
#include "MainWindow.h"
#include "TestSupport.h"

#include <QApplication>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>

class TestGnomeNoPlatform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Before anything asks for the session bus: one that is not there.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/velmora-test-bus");
        qunsetenv("DISPLAY");
        qunsetenv("VELMORA_FAKE_DISPLAY");
        qunsetenv("VELMORA_DISPLAY_BACKEND");
        qputenv("XDG_SESSION_TYPE", "wayland");
        qputenv("XDG_CURRENT_DESKTOP", "KDE");
    }

    void saidOnceAndShown()
    {
        TemporaryConfig config;
        MessageCapture log;
        DisplaySettings catalogue;
        QVERIFY(!catalogue.supported());
        QCOMPARE(catalogue.count(), 0);
        QCOMPARE(log.count("no display platform for this session (XDG_SESSION_TYPE=wayland, XDG_CURRENT_DESKTOP=KDE): "
                           "no X server (DISPLAY is not set), org.gnome.Mutter.DisplayConfig is not on the "
                           "session bus, and no Wayland compositor offers KDE's or wlroots' output management"),
                 1);
        // Nothing to read or apply, and no crash for asking.
        QCOMPARE(catalogue.currentState(), DisplayBackend::OutputState::Unreadable);
        QVERIFY(catalogue.applyDisplayMode({1024, 768, 32, 60}) != DisplayBackend::ApplyResult::Applied);
        QVERIFY(!catalogue.applyDisplaySetting(-1));
        catalogue.setChangeCallback([] {});

        MainWindow window;
        window.setDisplaySettings(&catalogue);
        window.initTable();
        QCOMPARE(window.statusBar()->currentMessage(), QString("此桌面不支持更改显示模式"));
        QCOMPARE(window.findChild<QTableWidget *>()->rowCount(), 0);
        QCOMPARE(log.matching("no display platform").size(), 1);
    }

    // Where a platform exists the status bar stays free of it.
    void supportedSaysNothing()
    {
        TemporaryConfig config;
        qputenv("VELMORA_DISPLAY_BACKEND", "x11");
        DisplaySettings catalogue;
        qunsetenv("VELMORA_DISPLAY_BACKEND");
        QVERIFY(catalogue.supported());
        MainWindow window;
        window.setDisplaySettings(&catalogue);
        window.initTable();
        QVERIFY(window.statusBar()->currentMessage().isEmpty());
    }
};

QTEST_MAIN(TestGnomeNoPlatform)
#include "tst_gnomenoplatform.moc"
