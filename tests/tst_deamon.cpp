// The lock daemon over the scripted fake display.
#include "AllowedPrograms.h"
#include "Deamon.h"
#include "DisplaySettings.h"
#include "FakeDisplayBackend.h"
#include "HoldKeeper.h"
#include "MonitorSettings.h"
#include "SettingsKeys.h"
#include "TestSupport.h"

#include <QSettings>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {
const DisplayMode M1024 {1024, 768, 32, 60};
const DisplayMode M800 {800, 600, 32, 60};
const DisplayMode M1280 {1280, 1024, 32, 75};
const DisplayMode M640 {640, 480, 16, 60};
const DisplayMode Unlisted {1920, 1080, 32, 144};
} // namespace

class TestDeamon : public QObject
{
    Q_OBJECT

    std::unique_ptr<TemporaryConfig> config;
    std::unique_ptr<QSettings> store;
    FakeDisplayBackend *fake = nullptr;
    std::unique_ptr<DisplaySettings> catalogue;
    std::unique_ptr<Deamon> deamon;

    void setUpDisplay(const QList<DisplayMode> &modes, int current)
    {
        auto backend = std::make_unique<FakeDisplayBackend>(modes, current);
        fake = backend.get();
        MessageCapture quiet;
        catalogue = std::make_unique<DisplaySettings>(std::move(backend));
        deamon = std::make_unique<Deamon>();
        deamon->setDisplaySettings(catalogue.get());
        deamon->setSettings(store.get());
    }

    void storeInterval(const QVariant &msec)
    {
        store->beginGroup(SettingsKeys::DeamonGroup);
        if (msec.isValid())
            store->setValue(SettingsKeys::Interval, msec);
        else
            store->remove(SettingsKeys::Interval);
        store->endGroup();
    }

    // A display in mode `current`, `stored` as the locked mode and `msec` as the interval.
    void prepare(const QList<DisplayMode> &modes, int current, const DisplayMode &stored, const QVariant &msec)
    {
        setUpDisplay(modes, current);
        storeLockedMode(*store, stored);
        storeInterval(msec);
    }

    // Starts the lock, then one tick that must report `line` and apply nothing.
    void expectQuietTick(const QString &line)
    {
        MessageCapture log;
        deamon->start();
        fake->resetCounts();
        tick();
        QCOMPARE(log.matching("update()"), QStringList({line}));
        QCOMPARE(fake->applies(), 0);
    }

    QTimer *timer() const { return deamon->findChild<QTimer *>(); }

    void tick() { QMetaObject::invokeMethod(deamon.get(), "update", Qt::DirectConnection); }

private Q_SLOTS:
    void init()
    {
        config = std::make_unique<TemporaryConfig>();
        store = std::make_unique<QSettings>(SettingsKeys::Organization, SettingsKeys::Application);
    }

    void cleanup()
    {
        deamon.reset();
        catalogue.reset();
        store.reset();
        config.reset();
    }

    // A program counts by its whole file name: a script's past the kernel's 15 characters, a
    // Windows program's under Wine from its command line, split at either slash.
    void programsCountByTheirWholeName()
    {
        QCOMPARE(AllowedPrograms::namesOf("/usr/bin/dash", {"/bin/sh", "/home/u/velmora-test-game-switcher", "-x"}, "velmora-test-ga"),
                 QStringList({"dash", "sh", "velmora-test-game-switcher"}));
        QCOMPARE(AllowedPrograms::namesOf("/usr/bin/sleep", {"sleep", "velmora-test-game-switcher"}, "sleep"),
                 QStringList({"sleep"}));
        QCOMPARE(AllowedPrograms::namesOf("/opt/wine/bin/wine64-preloader", {"C:\\Games\\eldenring.exe", "-w"}, "eldenring.exe"),
                 QStringList({"wine64-preloader", "eldenring.exe"}));
        QCOMPARE(AllowedPrograms::fileNameOf("Z:\\Program Files\\Game/bin\\game.exe -windowed"), QString("game.exe"));
        QVERIFY(!AllowedPrograms::isName("C:\\Games\\eldenring.exe"));
        QVERIFY(!AllowedPrograms::isName(" "));
    }

    void lockOnCurrentModeChangesNothing()
    {
        prepare({M1024, M800, M1280}, 1, M800, 1000);
        MessageCapture log;
        deamon->start();
        QCOMPARE(log.lines(), QStringList({"msec:1000"}));
        QVERIFY(timer()->isActive());
        QCOMPARE(timer()->interval(), 1000);
        fake->resetCounts();
        tick();
        tick();
        QCOMPARE(log.matching("update()"), QStringList({"update():now=1,locked=1", "update():now=1,locked=1"}));
        QCOMPARE(fake->applies(), 0);
    }

    void restoresAfterOutsideChange()
    {
        prepare({M1024, M800, M1280}, 0, M1024, 20);
        MessageCapture log;
        deamon->start();
        fake->setCurrent(M1280);
        QTRY_COMPARE_WITH_TIMEOUT(fake->current(), M1024, 2000);
        QVERIFY(log.lines().contains("update():now=2,locked=0"));
        QVERIFY(log.lines().contains("applyDisplaySetting():32 1024 768 60"));
        // Back in the locked mode, later ticks leave it alone.
        fake->resetCounts();
        QTest::qWait(100);
        QCOMPARE(fake->applies(), 0);

        // A mode with no entry reads as -1 and is undone too.
        fake->setCurrent(Unlisted);
        QTRY_COMPARE_WITH_TIMEOUT(fake->current(), M1024, 2000);
        QVERIFY(log.lines().contains("update():now=-1,locked=0"));
    }

    void refusedApplyWaitsForTheNextChange()
    {
        prepare({M1024, M800}, 0, M1024, 1000);
        MessageCapture log;
        deamon->start();
        fake->setCurrent(M800);
        fake->setRefuseApplies(true);
        fake->resetCounts();
        tick();
        tick();
        tick();
        QCOMPARE(fake->applies(), 1);
        QCOMPARE(log.matching("hold:"),
                 QStringList({"hold: FAKE0 refuses 1024x768 32 bpp 60 Hz, waiting for the next display change"}));
        fake->setRefuseApplies(false);
        tick();
        QCOMPARE(fake->applies(), 1);
        // An announcement of the same configuration (some compositors send one after every
        // answer) is no reason to ask again; another mode of the monitor is.
        QMetaObject::invokeMethod(deamon.get(), "displayChanged", Qt::DirectConnection);
        QCOMPARE(fake->applies(), 1);
        fake->setModes({M1024, M800, M640});
        QMetaObject::invokeMethod(deamon.get(), "displayChanged", Qt::DirectConnection);
        QCOMPARE(fake->current(), M1024);
    }

    void storedModeWithoutEntryIsHeldByValues()
    {
        // What the user locked, although the catalogue has no entry and the output does not
        // offer it yet: waited for, then held.
        prepare({M1024, M800, M1280}, 2, Unlisted, 1000);
        MessageCapture log;
        deamon->start();
        fake->resetCounts();
        tick();
        tick();
        QCOMPARE(log.matching("update()"), QStringList(2, "update():now=2,locked=-1"));
        QCOMPARE(log.matching("hold:"),
                 QStringList({"hold: FAKE0 does not offer 1920x1080 32 bpp 144 Hz, waiting until it does"}));
        QCOMPARE(fake->applies(), 0);
        fake->setModes({M1024, M800, M1280, Unlisted});
        tick();
        QCOMPARE(fake->current(), Unlisted);
        QCOMPARE(fake->applies(), 1);
    }

    void nothingListedReappliesNothing()
    {
        setUpDisplay({M1024, M800}, 0);
        fake->setCurrent(Unlisted);
        storeLockedMode(*store, {1, 2, 3, 4});
        storeInterval(1000);
        MessageCapture log;
        deamon->start();
        fake->resetCounts();
        tick();
        QCOMPARE(log.matching("update()"), QStringList({"update():now=-1,locked=-1"}));
        // In a listed mode the settings in force are not put back tick after tick.
        fake->setCurrent(M800);
        tick();
        tick();
        QCOMPARE(fake->applies(), 0);
    }

    void twinsNeverLookChanged()
    {
        // Modes 1 and 3 are equal: wherever the display is, both resolve to 1.
        prepare({M1024, M800, M1280, M800}, 3, M800, 1000);
        expectQuietTick("update():now=1,locked=1");
    }

    void stopThenStartPicksUpNewStoredMode()
    {
        prepare({M1024, M800, M1280}, 0, M1024, 1000);
        MessageCapture log;
        deamon->start();
        deamon->stop();
        QVERIFY(!timer()->isActive());
        // stop() alone keeps the locked number.
        tick();
        QCOMPARE(log.matching("update()").last(), QString("update():now=0,locked=0"));
        storeLockedMode(*store, M1280);
        storeInterval(250);
        deamon->start();
        QVERIFY(timer()->isActive());
        QCOMPARE(timer()->interval(), 250);
        tick();
        QCOMPARE(log.matching("update()").last(), QString("update():now=0,locked=2"));
        QCOMPARE(fake->current(), M1280);
    }

    void startTwiceRunsOneTimerAtSecondInterval()
    {
        prepare({M1024, M800}, 0, M1024, 1000);
        MessageCapture log;
        deamon->start();
        storeInterval(150);
        deamon->start();
        const QList<QTimer *> timers = deamon->findChildren<QTimer *>();
        QCOMPARE(std::count_if(timers.cbegin(), timers.cend(), [](const QTimer *t) { return t->isActive(); }), 1);
        QCOMPARE(timer()->interval(), 150);
        QTest::qWait(500);
        const qsizetype ticks = log.matching("update()").size();
        QVERIFY2(ticks >= 2 && ticks <= 4, qPrintable(QString::number(ticks)));
    }

    void unusableIntervalFallsBackToOneSecond_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("line");
        QTest::newRow("zero") << QVariant(0) << "msec:0";
        QTest::newRow("negative") << QVariant(-5) << "msec:-5";
        QTest::newRow("missing") << QVariant() << "msec:0";
        QTest::newRow("text") << QVariant("fast") << "msec:0";
        QTest::newRow("beyond int") << QVariant("99999999999") << "msec:0";
    }

    void unusableIntervalFallsBackToOneSecond()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, line);
        prepare({M1024, M800}, 0, M1024, stored);
        MessageCapture log;
        deamon->start();
        QCOMPARE(log.lines().value(0), line);
        QCOMPARE(log.lines().size(), 2);
        QVERIFY(log.lines().at(1).contains("1000 ms"));
        QVERIFY(timer()->isActive());
        QCOMPARE(timer()->interval(), Deamon::FallbackInterval);
    }

    void intervalIsHeldWithinBounds_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("used");
        QTest::newRow("1") << 1 << 100;
        QTest::newRow("100") << 100 << 100;
        QTest::newRow("60001") << 60001 << 60000;
    }

    void intervalIsHeldWithinBounds()
    {
        QFETCH(int, stored);
        QFETCH(int, used);
        prepare({M1024, M800}, 0, M1024, stored);
        MessageCapture log;
        deamon->start();
        QCOMPARE(timer()->interval(), used);
        QStringList lines{QString("msec:%1").arg(stored)};
        if (used != stored)
            lines << QString("msec: %1 is outside 100 .. 60000 ms, polling every %2 ms").arg(stored).arg(used);
        QCOMPARE(log.lines(), lines);
        if (stored == 1) {
            log.clear();
            QTest::qWait(1000);
            const qsizetype polls = log.matching("update()").size();
            QVERIFY2(polls >= 5 && polls <= 11, qPrintable(QString::number(polls)));
        }
    }

    void unreadableDisplayWhileLocked()
    {
        prepare({M1024, M800}, 0, M1024, 1000);
        MessageCapture log;
        deamon->start();
        fake->setFailReads(true);
        fake->resetCounts();
        tick();
        // The read failed, so the tick sees -1 and asks for the locked mode again; an apply
        // that cannot read the display sends nothing.
        QCOMPARE(log.matching("update()").last(), QString("update():now=-1,locked=0"));
        QCOMPARE(log.matching("applyDisplaySetting()").size(), 1);
        QCOMPARE(fake->applies(), 0);
        // A hold whose restores fail is not said to hold.
        QCOMPARE(deamon->status().first().state, QString("failing"));
        fake->setFailReads(false);
        tick();
        QCOMPARE(deamon->status().first().state, QString("held"));
    }

    void displayChangeRestoresAtOnceButAtMostOncePerInterval()
    {
        prepare({M1024, M800, M1280}, 0, M1024, 300);
        MessageCapture log;
        // Not locked: a change announcement does nothing.
        fake->setCurrent(M800);
        deamon->displayChanged();
        QCOMPARE(fake->applies(), 0);

        deamon->start();
        fake->resetCounts();
        deamon->displayChanged();
        QCOMPARE(fake->applies(), 1);
        QCOMPARE(fake->current(), M1024);

        // Our own switch is announced too: it finds nothing to do and is not counted.
        deamon->displayChanged();
        QCOMPARE(fake->applies(), 1);

        // A burst of foreign changes within the interval: no further event restore.
        for (const DisplayMode &m : {M800, M1280, M800, M1280, M800}) {
            fake->setCurrent(m);
            deamon->displayChanged();
        }
        QCOMPARE(fake->applies(), 1);
        QCOMPARE(fake->current(), M800);
        // The poll still catches it.
        QTRY_COMPARE_WITH_TIMEOUT(fake->current(), M1024, 2000);

        // Once an interval has passed, an announcement restores at once again.
        QTest::qWait(320);
        fake->resetCounts();
        fake->setCurrent(M1280);
        deamon->displayChanged();
        QCOMPARE(fake->applies(), 1);
        QCOMPARE(fake->current(), M1024);

        deamon->stop();
        fake->setCurrent(M800);
        QTest::qWait(320);
        deamon->displayChanged();
        QCOMPARE(fake->current(), M800);
    }

    void renumberedListIsHeldByValues()
    {
        // Entry 2 is M1280. The output's list changes under the lock: modes come before it,
        // then the ones ahead of it go. The platform's number 2 is something else each time.
        prepare({M1024, M800, M1280}, 2, M1280, 1000);
        MessageCapture log;
        deamon->start();
        for (const QList<DisplayMode> &list : {QList<DisplayMode>{M640, Unlisted, M1024, M800, M1280},
                                               QList<DisplayMode>{M1280, M800}}) {
            fake->setModes(list);
            fake->setCurrent(M800);
            fake->resetCounts();
            tick();
            QCOMPARE(fake->current(), M1280);
            QCOMPARE(fake->applies(), 1);
            // Held: later ticks find nothing to do.
            tick();
            QCOMPARE(fake->applies(), 1);
        }
        QCOMPARE(log.matching("applyDisplaySetting()"),
                 QStringList({"applyDisplaySetting():32 1280 1024 75", "applyDisplaySetting():32 1280 1024 75"}));
    }

    void anotherPrimaryChangesNothing()
    {
        prepare({M1024, M800, M1280}, 0, M1024, 1000);
        fake->addOutput("EXT1", {M640}, M640);
        deamon->start();
        fake->setPrimary("EXT1");
        MessageCapture log;
        fake->resetCounts();
        tick();
        QCOMPARE(fake->applies(), 0);
        fake->setCurrent(M1280);
        tick();
        QCOMPARE(fake->current(), M1024);
        QCOMPARE(fake->lastAppliedOutput(), QString("FAKE0"));
        QCOMPARE(fake->outputCurrent("EXT1"), M640);
        QCOMPARE(log.matching("applyDisplaySetting()"), QStringList({"applyDisplaySetting():32 1024 768 60"}));
    }

    void offAbsentAndUnofferedAreWaitedFor_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("waitLine");
        QTest::newRow("off") << "off" << "hold: FAKE0 is off, waiting until it is on again";
        QTest::newRow("unplugged") << "unplugged" << "hold: FAKE0 is not connected, waiting for it";
        QTest::newRow("mode gone")
            << "mode gone" << "hold: FAKE0 does not offer 1280x1024 32 bpp 75 Hz, waiting until it does";
    }

    void offAbsentAndUnofferedAreWaitedFor()
    {
        QFETCH(QString, how);
        QFETCH(QString, waitLine);
        // A long interval: the way back must come from the announcement, not the poll.
        prepare({M1024, M800, M1280}, 2, M1280, 60000);
        MessageCapture log;
        deamon->start();
        fake->resetCounts();
        if (how == "off") {
            fake->setOutputOff("FAKE0");
        } else if (how == "unplugged") {
            fake->setOutputPresent("FAKE0", false);
        } else {
            fake->setModes({M1024, M800});
            fake->setCurrent(M800);
        }
        deamon->displayChanged();
        for (int i = 0; i < 4; ++i)
            tick();
        // Nothing is applied, nothing is switched on, and it is said once, not per tick.
        QCOMPARE(fake->applies(), 0);
        QCOMPARE(fake->outputIsOn("FAKE0"), how == "mode gone");
        QCOMPARE(log.matching("hold:"), QStringList({waitLine}));
        QCOMPARE(log.matching("applyDisplaySetting()"), QStringList());
        QCOMPARE(log.matching("update()").size(), 5);

        // Back, in a foreign mode: the announcement restores at once.
        if (how == "unplugged")
            fake->setOutputPresent("FAKE0", true);
        fake->setModes({M1024, M800, M1280});
        fake->setCurrent(M1024);
        deamon->displayChanged();
        QCOMPARE(fake->current(), M1280);
        QCOMPARE(fake->applies(), 1);
        QCOMPARE(log.matching("hold:"),
                 QStringList({waitLine, "hold: FAKE0 offers 1280x1024 32 bpp 75 Hz again, holding it"}));
        tick();
        QCOMPARE(log.matching("hold:").size(), 2);
    }

    void arrangementIsPutBackOnceSettledForItsSetAndNotFought()
    {
        // FAKE0 (primary) and EXT1 to its right, their arrangement held; nothing else locked.
        setUpDisplay({M1024, M800}, 0);
        fake->addOutput("EXT1", {M1024, M800}, M800);
        fake->setOutputIdentity("FAKE0", "AAA-0001-1");
        fake->setOutputIdentity("EXT1", "BBB-0002-2");
        fake->setOutputPlace("EXT1", 1024, 0);
        storeInterval(300);
        std::vector<DisplayOutput> outputs;
        fake->readOutputs(outputs);
        QVERIFY(HoldKeeper(*store).holdArrangement(outputs));
        deamon->reloadMonitors();
        QVERIFY(timer()->isActive());
        auto scramble = [this] {
            fake->setOutputPlace("EXT1", 0, 0);
            fake->setOutputPlace("FAKE0", 800, 0, Rotated90, 2.0);
            fake->setPrimary("EXT1");
            fake->setOutputCurrent("EXT1", M1024);
        };
        auto asHeld = [this] {
            std::vector<DisplayOutput> now;
            fake->readOutputs(now);
            return now.size() == 2 && now[0].x == 0 && now[0].transform == Normal && now[0].scale == 1.0
                && now[0].primary && now[1].x == 1024 && !now[1].primary && now[1].current == M800;
        };

        // Scrambled after a wake-up: nothing between the desktop's steps, then all of it in one apply.
        MessageCapture log;
        fake->resetCounts();
        scramble();
        deamon->displayChanged();
        QCOMPARE(fake->applies(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(fake->applies(), 1, 2000);
        QVERIFY(asHeld());
        QCOMPARE(fake->lastPlan().size(), size_t(2));
        QCOMPARE(deamon->arrangementStatus().first().state, QString("held"));

        // A trial of one of its monitors: left to it until the trial ends, then brought back.
        deamon->beginTrial("BBB-0002-2");
        fake->resetCounts();
        fake->setOutputCurrent("EXT1", M1024);
        deamon->displayChanged();
        QTest::qWait(Deamon::SettleMs + 400);
        QCOMPARE(fake->applies(), 0);
        deamon->endTrial("BBB-0002-2");
        QTRY_VERIFY_WITH_TIMEOUT(asHeld(), 2000);

        // Another set (EXT1 switched off): left alone, and EXT1 stays off.
        fake->setOutputOff("EXT1");
        fake->setOutputPlace("FAKE0", 0, 0, Flipped);
        fake->resetCounts();
        tick();
        QTest::qWait(Deamon::SettleMs + 100);
        QCOMPARE(fake->applies(), 0);
        QVERIFY(!fake->outputIsOn("EXT1"));
        QCOMPARE(deamon->arrangementStatus().first().state, QString("waiting"));

        // The same set again (docked): brought back.
        fake->setOutputCurrent("EXT1", M1024);
        fake->setOutputPlace("EXT1", 1024, 0);
        deamon->displayChanged();
        QTRY_VERIFY_WITH_TIMEOUT(asHeld(), 2000);

        // A program that undoes every restore at once: a few rounds, then Velmora stops and says so.
        QTest::qWait(2 * timer()->interval() + Deamon::SettleMs);
        fake->resetCounts();
        log.clear();
        QTimer fighter;
        connect(&fighter, &QTimer::timeout, this, [&] {
            if (asHeld())
                scramble();
        });
        fighter.start(20);
        QTRY_COMPARE_WITH_TIMEOUT(deamon->arrangementStatus().first().state, QString("given up"), 6000);
        QCOMPARE(fake->applies(), Deamon::FightRestores);
        QTest::qWait(1000);
        QCOMPARE(fake->applies(), Deamon::FightRestores);
        QCOMPARE(log.matching("hold: the arrangement of 2 monitors is undone after every restore").size(), 1);
        fighter.stop();
    }

    void everyLockedMonitorIsHeldOnItsOwn()
    {
        // FAKE0 primary; EXT1 (a monitor with an identity) stored as locked; EXT2 not held.
        prepare({M1024, M800, M1280}, 0, M1024, 60000);
        fake->addOutput("EXT1", {M800, M640}, M800);
        fake->setOutputIdentity("EXT1", "AAA-0001-7");
        fake->addOutput("EXT2", {M800, M640}, M800);
        DisplayOutput ext1;
        ext1.name = "EXT1";
        ext1.identity = "AAA-0001-7";
        ext1.hasSerial = true;
        MonitorSettings::store(*store, ext1, M800, true);
        MessageCapture log;
        deamon->start();
        QCOMPARE(log.lines(), QStringList({"msec:60000"}));

        // Both held monitors switched at once: one apply puts both back; EXT2 is left alone.
        fake->setCurrent(M1280);
        fake->setOutputCurrent("EXT1", M640);
        fake->setOutputCurrent("EXT2", M640);
        fake->resetCounts();
        deamon->displayChanged();
        QCOMPARE(fake->applies(), 1);
        QCOMPARE(fake->lastChanges().size(), size_t(2));
        QCOMPARE(fake->current(), M1024);
        QCOMPARE(fake->outputCurrent("EXT1"), M800);
        QCOMPARE(fake->outputCurrent("EXT2"), M640);
        QVERIFY(log.lines().contains("update(EXT1):now=1,locked=0"));
        // Restored on an announcement: not again within the interval, whatever comes.
        fake->setOutputCurrent("EXT1", M640);
        deamon->displayChanged();
        QCOMPARE(fake->applies(), 1);
        tick();
        QCOMPARE(fake->outputCurrent("EXT1"), M800);

        // The monitor moves to another connector (a dock renumbering): held there. Another
        // monitor on its old connector gets nothing.
        fake->renameOutput("EXT1", "EXT7");
        fake->addOutput("EXT1", {M800, M640}, M640);
        fake->setOutputCurrent("EXT7", M640);
        fake->resetCounts();
        tick();
        QCOMPARE(fake->outputCurrent("EXT7"), M800);
        QCOMPARE(fake->outputCurrent("EXT1"), M640);
        QCOMPARE(fake->lastAppliedOutput(), QString("EXT7"));

        // Released: left alone from then on; the primary is still held.
        ext1.name = "EXT7";
        MonitorSettings::store(*store, ext1, M800, false);
        deamon->reloadMonitors();
        fake->setOutputCurrent("EXT7", M640);
        fake->resetCounts();
        tick();
        QCOMPARE(fake->applies(), 0);
        QVERIFY(timer()->isActive());
    }

    void storedValuesThatAreNoModeHoldNothing()
    {
        // Zeros and nonsense never reach the platform: said once, nothing applied.
        prepare({M1024, M800}, 0, {0, 768, 32, 60}, 1000);
        store->setValue("DisplaySettings/DisplayFrequency", "fast");
        MessageCapture log;
        deamon->start();
        fake->setCurrent(M800);
        fake->resetCounts();
        tick();
        tick();
        QCOMPARE(fake->applies(), 0);
        QCOMPARE(log.matching("hold: the stored mode").size(), 1);
    }

    void emptyCatalogueHoldsNothing()
    {
        setUpDisplay({}, 0);
        fake->setCurrent(M1024);
        storeLockedMode(*store, M1024);
        storeInterval(1000);
        expectQuietTick("update():now=-1,locked=-1");
    }

    void runsInItsOwnThreadThroughQueuedCalls()
    {
        prepare({M1024, M800, M1280}, 0, M1024, 20);
        // The daemon reads through a store object of its own, living in its thread.
        auto threadStore = std::make_unique<QSettings>(SettingsKeys::Organization, SettingsKeys::Application);
        QThread thread;
        deamon->setSettings(threadStore.get());
        deamon->moveToThread(&thread);
        threadStore->moveToThread(&thread);
        startThread(thread);
        MessageCapture log;
        QMetaObject::invokeMethod(deamon.get(), "start", Qt::QueuedConnection);
        QTRY_VERIFY(log.lines().contains("msec:20"));
        fake->setCurrent(M800);
        QTRY_COMPARE_WITH_TIMEOUT(fake->current(), M1024, 2000);
        QMetaObject::invokeMethod(deamon.get(), "stop", Qt::BlockingQueuedConnection);
        fake->setCurrent(M800);
        QTest::qWait(100);
        QCOMPARE(fake->current(), M800);
        QVERIFY(stopThread(thread));
        deamon.reset();
    }
};

QTEST_GUILESS_MAIN(TestDeamon)
#include "tst_deamon.moc"
