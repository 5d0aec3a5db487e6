// The GUI thread applies modes and locks/unlocks in a loop while the daemon polls every
// millisecond in its thread, for a bounded time: over the fake display and the real X server.
// Built with sanitizers, this is where races and memory faults show.
#include "Deamon.h"
#include "DisplaySettings.h"
#include "FakeDisplayBackend.h"
#include "SettingsKeys.h"
#include "TestSupport.h"
#include "ThreadSanitizer.h"
#include "X11DisplayBackend.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSettings>
#include <QTest>
#include <QThread>

// Reaches the daemon the way the window does: by signals, queued into its thread.
class Remote : public QObject
{
    Q_OBJECT
Q_SIGNALS:
    void startDeamon();
    void stopDeamon();
};

class TestStress : public QObject
{
    Q_OBJECT

    // Runs the loop for `ms`, then locks `finalMode` and checks the daemon holds it.
    void hammer(DisplaySettings &catalogue, int ms, int finalMode, int *rounds)
    {
        TemporaryConfig config;
        QSettings store(SettingsKeys::Organization, SettingsKeys::Application);
        store.setValue("Deamon/msec", 1);
        QSettings *deamonStore = new QSettings(SettingsKeys::Organization, SettingsKeys::Application);
        Deamon *deamon = new Deamon();
        QThread thread;
        deamon->setDisplaySettings(&catalogue);
        deamon->setSettings(deamonStore);
        deamon->moveToThread(&thread);
        deamonStore->moveToThread(&thread);
        Remote remote;
        QObject::connect(&remote, &Remote::startDeamon, deamon, &Deamon::start);
        QObject::connect(&remote, &Remote::stopDeamon, deamon, &Deamon::stop);
        // The daemon and its store end with their thread, in it.
        QObject::connect(&thread, &QThread::finished, deamon, [&thread, deamon, deamonStore] {
            delete deamon;
            delete deamonStore;
            threadFinishedRelease(&thread);
        }, Qt::DirectConnection);
        thread.start();

        auto lock = [&](int mode) {
            storeLockedMode(store, {catalogue.pelsWidth(mode), catalogue.pelsHeight(mode), catalogue.bitsPerPel(mode),
                                    catalogue.displayFrequency(mode)});
            store.sync();
            Q_EMIT remote.startDeamon();
        };

        QRandomGenerator random(42);
        QElapsedTimer clock;
        clock.start();
        *rounds = 0;
        while (clock.elapsed() < ms) {
            const int mode = int(random.bounded(catalogue.count()));
            switch (random.bounded(4)) {
            case 0: lock(mode); break;
            case 1: Q_EMIT remote.stopDeamon(); break;
            default:
                catalogue.applyDisplaySetting(mode);
                catalogue.currentIndex();
                break;
            }
            QCoreApplication::processEvents();
            ++*rounds;
        }
        lock(finalMode);
        QTRY_COMPARE_WITH_TIMEOUT(catalogue.currentIndex(), finalMode, 5000);
        // Still held a while later, with nothing left fighting it.
        QTest::qWait(50);
        QCOMPARE(catalogue.currentIndex(), finalMode);
        Q_EMIT remote.stopDeamon();
        thread.quit();
        QVERIFY(thread.wait(5000));
        threadJoinedAcquire(&thread);
    }

private Q_SLOTS:
    void overFakeDisplay()
    {
        QList<DisplayMode> modes;
        for (int i = 0; i < 12; ++i)
            modes.append({640 + 64 * i, 480 + 48 * i, 32, 60 + (i % 3) * 15});
        MessageCapture quiet;
        DisplaySettings catalogue(std::make_unique<FakeDisplayBackend>(modes, 0));
        int rounds = 0;
        hammer(catalogue, 1500, 5, &rounds);
        QVERIFY2(rounds > 100, qPrintable(QString::number(rounds)));
    }

    void overRealXServer()
    {
        REQUIRE_XSERVER();
        MessageCapture quiet;
        DisplaySettings catalogue(std::make_unique<X11DisplayBackend>());
        QVERIFY(catalogue.count() > 3);
        const int original = catalogue.currentIndex();
        QVERIFY(original >= 0);
        int rounds = 0;
        hammer(catalogue, 2000, original, &rounds);
        QVERIFY2(rounds > 20, qPrintable(QString::number(rounds)));
    }
};

QTEST_GUILESS_MAIN(TestStress)
#include "tst_stress.moc"
