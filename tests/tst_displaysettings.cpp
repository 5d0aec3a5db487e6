// The catalogue over the scripted fake display.
#include "DisplaySettings.h"
#include "FakeDisplayBackend.h"
#include "MonitorIdentity.h"
#include "MonitorSettings.h"
#include "TestSupport.h"

#include <QSettings>
#include <QTest>
#include <QThread>

#include <atomic>

namespace {
const DisplayMode M1024 {1024, 768, 32, 60};
const DisplayMode M800 {800, 600, 32, 60};
const DisplayMode M1280 {1280, 1024, 32, 75};
const DisplayMode M640 {640, 480, 16, 60};
const DisplayMode M1600 {1600, 900, 32, 60};

struct Catalogue
{
    FakeDisplayBackend *fake;
    std::unique_ptr<DisplaySettings> settings;
};

Catalogue make(const QList<DisplayMode> &modes, int current = 0, const QSet<int> &missing = {})
{
    auto backend = std::make_unique<FakeDisplayBackend>(modes, current);
    backend->setMissing(missing);
    FakeDisplayBackend *fake = backend.get();
    return {fake, std::make_unique<DisplaySettings>(std::move(backend))};
}
} // namespace

class TestDisplaySettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void enumerationStopsAtFirstGapAndLogsEachMode()
    {
        MessageCapture log;
        // Mode 5 is missing although 6 exists: the list ends at 5.
        Catalogue c = make({M1024, M800, M1280, M640, M1600, M800, M1024}, 0, {5});
        QCOMPARE(c.settings->count(), 5);
        QCOMPARE(log.lines(),
                 QStringList({"0: 1024 768 32 60", "1: 800 600 32 60", "2: 1280 1024 32 75",
                              "3: 640 480 16 60", "4: 1600 900 32 60"}));
        QCOMPARE(c.settings->pelsWidth(2), 1280);
        QCOMPARE(c.settings->pelsHeight(2), 1024);
        QCOMPARE(c.settings->bitsPerPel(3), 16);
        QCOMPARE(c.settings->displayFrequency(2), 75);
    }

    void duplicatesResolveToLowestNumber()
    {
        // Modes 2 and 7 carry the same four values.
        Catalogue c = make({M1024, M800, M1280, M640, M1600, M1024, M800, M1280});
        QCOMPARE(c.settings->indexOf(1280, 1024, 32, 75), 2);
        c.fake->setCurrent(M1280);
        QCOMPARE(c.settings->currentIndex(), 2);
    }

    void indexOfFallsBackToCurrentMode()
    {
        Catalogue c = make({M1024, M800, M1280, M640, M1600}, 4);
        QCOMPARE(c.settings->indexOf(1, 2, 3, 4), 4);
        // Neither the values nor the mode in use are listed.
        c.fake->setCurrent({1920, 1080, 32, 144});
        QCOMPARE(c.settings->indexOf(1, 2, 3, 4), -1);
        QCOMPARE(c.settings->currentIndex(), -1);
        // Values differ in one field only: no tolerance.
        QCOMPARE(c.settings->indexOf(1024, 768, 32, 59), -1);
    }

    void unreadableCurrentSettings()
    {
        Catalogue c = make({M1024, M800});
        c.fake->setFailReads(true);
        QCOMPARE(c.settings->currentPelsWidth(), 0);
        QCOMPARE(c.settings->currentPelsHeight(), 0);
        QCOMPARE(c.settings->currentBitsPerPel(), 0);
        QCOMPARE(c.settings->currentDisplayFrequency(), 0);
        QCOMPARE(c.settings->currentIndex(), -1);
        // ...unless an entry is all zeros.
        Catalogue z = make({M1024, DisplayMode()});
        z.fake->setFailReads(true);
        QCOMPARE(z.settings->currentIndex(), 1);
    }

    void currentGettersAskThePlatformEveryTime()
    {
        Catalogue c = make({M1024, M800});
        QCOMPARE(c.settings->currentPelsWidth(), 1024);
        c.fake->setCurrent(M800);
        QCOMPARE(c.settings->currentPelsWidth(), 800);
        QCOMPARE(c.settings->currentIndex(), 1);
    }

    void applySwitchesAndLogsDepthFirst()
    {
        Catalogue c = make({M1024, M800, M1280});
        MessageCapture log;
        QVERIFY(c.settings->applyDisplaySetting(2));
        QCOMPARE(c.fake->current(), M1280);
        QCOMPARE(log.lines(), QStringList({"applyDisplaySetting():32 1280 1024 75"}));
    }

    void applyMinusOneReappliesCurrentSettings()
    {
        // The mode in use is not even listed: -1 still "applies" it, and as nothing differs
        // nothing reaches the platform.
        Catalogue c = make({M1024, M800});
        c.fake->setCurrent(M1600);
        c.fake->resetCounts();
        MessageCapture log;
        QVERIFY(c.settings->applyDisplaySetting(-1));
        QCOMPARE(c.fake->applies(), 0);
        QCOMPARE(c.fake->current(), M1600);
        QCOMPARE(log.lines(), QStringList({"applyDisplaySetting():32 1600 900 60"}));
    }

    void applyReportsRefusalAndUnknownNumbers()
    {
        Catalogue c = make({M1024, M800});
        c.fake->setRefuseApplies(true);
        QVERIFY(!c.settings->applyDisplaySetting(1));
        QCOMPARE(c.fake->current(), M1024);
        c.fake->setRefuseApplies(false);

        // A number the platform does not list is not handed on as an all-zero mode.
        MessageCapture log;
        c.fake->resetCounts();
        QVERIFY(!c.settings->applyDisplaySetting(7));
        QCOMPARE(c.fake->applies(), 0);
        QCOMPARE(log.lines(), QStringList({"applyDisplaySetting(): no mode 7"}));
        c.fake->setFailReads(true);
        QVERIFY(!c.settings->applyDisplaySetting(-1));
        QCOMPARE(c.fake->current(), M1024);
    }

    void emptyCatalogue()
    {
        MessageCapture log;
        Catalogue c = make({});
        QCOMPARE(c.settings->count(), 0);
        QCOMPARE(c.settings->currentIndex(), -1);
        QCOMPARE(c.settings->indexOf(1024, 768, 32, 60), -1);
        QVERIFY(log.lines().isEmpty());
    }

    void catalogueBelongsToTheOutputPrimaryWhenBuilt()
    {
        MessageCapture quiet;
        auto backend = std::make_unique<FakeDisplayBackend>(QList<DisplayMode>{M1024, M800}, 0);
        FakeDisplayBackend *fake = backend.get();
        fake->addOutput("EXT1", {M1600, M640}, M1600);
        fake->setPrimary("EXT1");
        DisplaySettings catalogue(std::move(backend));
        QCOMPARE(catalogue.outputName(), QString("EXT1"));
        QCOMPARE(catalogue.count(), 2);
        QCOMPARE(catalogue.pelsWidth(0), 1600);
        // Later primaries change nothing: reads and applies stay on EXT1.
        fake->setPrimary("FAKE0");
        QCOMPARE(catalogue.currentIndex(), 0);
        QVERIFY(catalogue.applyDisplaySetting(1));
        QCOMPARE(fake->lastAppliedOutput(), QString("EXT1"));
        QCOMPARE(fake->outputCurrent("EXT1"), M640);
        QCOMPARE(fake->outputCurrent("FAKE0"), M1024);

        // A primary that is off is passed over for the first output that is on.
        auto second = std::make_unique<FakeDisplayBackend>(QList<DisplayMode>{M1024}, 0);
        second->addOutput("EXT1", {M1600}, M1600);
        second->setOutputOff("FAKE0");
        DisplaySettings other(std::move(second));
        QCOMPARE(other.outputName(), QString("EXT1"));
    }

    void monitorsAreKnownByThemselves()
    {
        // An EDID: maker GSM, product 0x5B09, serial number 123456, name "27GL850".
        uint8_t edid[128] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0x1e, 0x6d, 0x09, 0x5b, 0x40, 0xe2, 0x01, 0x00};
        const uint8_t name[] = {0, 0, 0, 0xfc, 0, '2', '7', 'G', 'L', '8', '5', '0', 0x0a, ' ', ' ', ' ', ' ', ' '};
        std::copy(std::begin(name), std::end(name), edid + 72);
        DisplayOutput lg;
        lg.name = "DP-5";
        QVERIFY(MonitorIdentity::fromEdid(edid, sizeof edid, lg));
        QCOMPARE(QString::fromStdString(lg.identity), QString("GSM-5B09-0001E240"));
        QVERIFY(lg.hasSerial);
        QCOMPARE(QString::fromStdString(lg.label), QString("GSM 27GL850"));
        // Serials that every unit of a model carries are none: twins stay twins.
        for (const uint32_t same : {0x01010101u, 0u}) {
            for (int i = 0; i < 4; ++i)
                edid[12 + i] = uint8_t(same >> (8 * i));
            DisplayOutput twin;
            QVERIFY(MonitorIdentity::fromEdid(edid, sizeof edid, twin));
            QCOMPARE(QString::fromStdString(twin.identity), QString("GSM-5B09"));
            QVERIFY(!twin.hasSerial);
        }
        DisplayOutput mutterTwin;
        MonitorIdentity::fromNames("DEL", "U2720Q", "0x00000000", mutterTwin);
        QVERIFY(!mutterTwin.hasSerial);
        QCOMPARE(QString::fromStdString(mutterTwin.identity), QString("DEL-U2720Q"));
        edid[0] = 0x01;
        DisplayOutput broken;
        QVERIFY(!MonitorIdentity::fromEdid(edid, sizeof edid, broken));
        QVERIFY(broken.identity.empty());

        // Found wherever it is plugged; another monitor on its old connector is not it; twins
        // without serial numbers by their connectors; no identity at all by the connector.
        DisplayOutput other, twinA, twinB, bare;
        other.name = "DP-5";
        MonitorIdentity::fromNames("DEL", "U2720Q", "", other);
        twinA = twinB = other;
        twinA.name = "HDMI-1";
        twinB.name = "HDMI-2";
        bare.name = "VGA-1";
        lg.name = "DP-7";
        const std::vector<DisplayOutput> outputs{other, lg, twinA, bare};
        QCOMPARE(MonitorIdentity::find(outputs, lg.identity, "DP-5"), &outputs[1]);
        QCOMPARE(MonitorIdentity::find({other}, lg.identity, "DP-5"), nullptr);
        QCOMPARE(MonitorIdentity::find({twinA, twinB}, twinB.identity, "HDMI-2")->name, std::string("HDMI-2"));
        QCOMPARE(MonitorIdentity::find(outputs, "", "VGA-1"), &outputs[3]);
        // Seen first without an identity, then with it (or the reverse): the same monitor.
        QCOMPARE(MonitorIdentity::find(outputs, "", "DP-5"), &outputs[0]);
        QCOMPARE(MonitorIdentity::find(outputs, "SAM-0C4F-9", "VGA-1"), &outputs[3]);
        QCOMPARE(MonitorIdentity::find(outputs, "SAM-0C4F-9", "HDMI-1"), nullptr);

        // Their keys in the store: one group each, nothing the registry or INI files mind.
        QCOMPARE(MonitorSettings::keyFor(lg), QString("GSM-5B09-0001E240"));
        QCOMPARE(MonitorSettings::keyFor(twinA), QString("DEL-U2720Q_HDMI-1"));
        DisplayOutput windows;
        windows.name = "\\\\.\\DISPLAY2";
        QCOMPARE(MonitorSettings::keyFor(windows), QString("DISPLAY2"));

        // Stored values that cannot be a mode are none, whatever their type.
        TemporaryConfig config;
        QSettings store(config.path() + "/t.ini", QSettings::IniFormat);
        const QList<QList<QVariant>> cases{{1024, 768, 32, 60}, {0, 768, 32, 60}, {1024, -1, 32, 60},
                                           {1024, 768, 7, 60}, {1024, 768, 32, 1001}, {"wide", 768, 32, 60},
                                           {40000, 768, 32, 60}, {QVariant(4294968320LL), 768, 32, 60}};
        for (const QList<QVariant> &values : cases) {
            store.setValue("G/PelsWidth", values[0]);
            store.setValue("G/PelsHeight", values[1]);
            store.setValue("G/BitsPerPel", values[2]);
            store.setValue("G/DisplayFrequency", values[3]);
            bool ok = false;
            MonitorSettings::readMode(store, "G", DisplayMode(), &ok);
            QCOMPARE(ok, &values == &cases.first());
        }
    }

    void appliesByValuesWhateverThePlatformNumber()
    {
        Catalogue c = make({M1024, M800, M1280});
        // Modes came before entry 2 and one went: the platform's number 2 is M640 now.
        c.fake->setModes({M640, M1600, M1024, M1280});
        MessageCapture log;
        QVERIFY(c.settings->applyDisplaySetting(2));
        QCOMPARE(c.fake->current(), M1280);
        QCOMPARE(c.settings->availability(2), DisplayBackend::OutputState::Active);
        // Entry 1 is not offered now: nothing applied, the values asked for are said.
        QCOMPARE(c.settings->availability(1), DisplayBackend::OutputState::NotOffered);
        QVERIFY(!c.settings->applyDisplaySetting(1));
        QCOMPARE(c.fake->current(), M1280);
        QCOMPARE(log.lines(), QStringList({"applyDisplaySetting():32 1280 1024 75", "applyDisplaySetting():32 800 600 60"}));
        // An output that is off is not switched on, one that is gone gets nothing.
        c.fake->setOutputOff("FAKE0");
        QCOMPARE(c.settings->availability(0), DisplayBackend::OutputState::Off);
        QVERIFY(!c.settings->applyDisplaySetting(0));
        QVERIFY(!c.fake->outputIsOn("FAKE0"));
        c.fake->setOutputPresent("FAKE0", false);
        QCOMPARE(c.settings->currentState(), DisplayBackend::OutputState::Absent);
        QCOMPARE(c.settings->currentIndex(), -1);
        QVERIFY(!c.settings->applyDisplaySetting(0));
    }

    void queriesFromTwoThreadsAtOnce()
    {
        // The GUI thread and the lock thread share one catalogue.
        MessageCapture quiet;
        Catalogue c = make({M1024, M800, M1280, M640});
        std::atomic<bool> wrong {false};
        std::atomic<bool> stop {false};
        QThread *worker = QThread::create([&] {
            while (!stop) {
                const int i = c.settings->currentIndex();
                if (i < 0 || i > 3)
                    wrong = true;
                if (c.settings->indexOf(640, 480, 16, 60) != 3)
                    wrong = true;
            }
        });
        startThread(*worker);
        for (int round = 0; round < 2000; ++round)
            c.settings->applyDisplaySetting(round % 4);
        stop = true;
        QVERIFY(stopThread(*worker));
        delete worker;
        QVERIFY(!wrong);
    }
};

QTEST_GUILESS_MAIN(TestDisplaySettings)
#include "tst_displaysettings.moc"
