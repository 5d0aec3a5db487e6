// Which platform DisplayPlatform::create() takes in the sessions the Mutter hosts reproduce.
// The session bus of this process is the nested Mutter's (set before anything asks for it).
#include "Pinned.h"
#include "DisplayPlatform.h"
#include "GnomeDisplayBackend.h"
#include "TestSupport.h"
#include "X11DisplayBackend.h"
#include "tst_gnomehost.h"

using namespace MutterHost;

class TestGnomePlatform : public QObject
{
    Q_OBJECT

    Host nested;
    Host x11;

private slots:
    void initTestCase()
    {
        nested = host(QStringLiteral(VELMORA_MUTTER_NESTED_DIR));
        x11 = host(QStringLiteral(VELMORA_MUTTER_X11_DIR));
        REQUIRE_HOST(nested);
        qputenv("DBUS_SESSION_BUS_ADDRESS", nested.bus().toLocal8Bit());
        qputenv("XAUTHORITY", nested.value("xauthority").toLocal8Bit());
        qunsetenv("VELMORA_FAKE_DISPLAY");
    }

    void choice_data()
    {
        QTest::addColumn<QString>("display"); // xwayland, xorg or none
        QTest::addColumn<QString>("forced");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("pinned");
        // GNOME's Wayland session: XWayland's RandR is emulated, Mutter's service is real.
        QTest::newRow("wayland session") << "xwayland" << "" << "gnome" << "LVDS1";
        QTest::newRow("wayland, no DISPLAY") << "none" << "" << "gnome" << "LVDS1";
        // A real X server comes first, even with Mutter on the bus (GNOME on X11).
        QTest::newRow("real X server") << "xorg" << "" << "x11" << "DUMMY0";
        QTest::newRow("forced gnome") << "xorg" << "gnome" << "gnome" << "LVDS1";
        QTest::newRow("forced x11") << "xwayland" << "x11" << "x11" << "XWAYLAND0";
        QTest::newRow("unknown forced") << "xorg" << "mir" << "x11" << "DUMMY0";
    }
    void choice()
    {
        QFETCH(QString, display);
        QFETCH(QString, forced);
        QFETCH(QString, expected);
        QFETCH(QString, pinned);
        if (display == "xorg")
            REQUIRE_HOST(x11);
        if (display == "none")
            qunsetenv("DISPLAY");
        else
            qputenv("DISPLAY", (display == "xorg" ? x11.display() : nested.value("xwayland")).toLocal8Bit());
        qputenv("VELMORA_DISPLAY_BACKEND", forced.toLocal8Bit());

        MessageCapture capture;
        std::unique_ptr<DisplayBackend> backend = DisplayPlatform::create();
        QVERIFY(backend);
        if (expected == "gnome")
            QVERIFY(dynamic_cast<GnomeDisplayBackend *>(backend.get()));
        else
            QVERIFY(dynamic_cast<X11DisplayBackend *>(backend.get()));
        QCOMPARE(QString::fromStdString(PinnedOutput(*backend).pinOutput()), pinned);
        QCOMPARE(capture.matching("no display platform").size(), 0);
        QCOMPARE(capture.matching("VELMORA_DISPLAY_BACKEND:").size(), forced == "mir" ? 1 : 0);
        qunsetenv("VELMORA_DISPLAY_BACKEND");
    }
};

QTEST_GUILESS_MAIN(TestGnomePlatform)
#include "tst_gnomeplatform.moc"
