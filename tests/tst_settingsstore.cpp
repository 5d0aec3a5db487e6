// Seeding of the settings store, and the log-on start entry, through a whole Controler.
#include "Controler.h"
#include "Deamon.h"
#include "DisplaySettings.h"
#include "FakeDisplayBackend.h"
#include "SettingsKeys.h"
#include "TestSupport.h"
#include "XdgAutoRunStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QTest>
#include <QTimer>

class TestSettingsStore : public QObject
{
    Q_OBJECT

    std::unique_ptr<TemporaryConfig> config;
    QTemporaryDir fixtures;

    // The program's display: a fake described by a JSON file.
    void useDisplay(const QByteArray &json)
    {
        const QString path = fixtures.filePath("display.json");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(json);
        f.close();
        qputenv("VELMORA_FAKE_DISPLAY", path.toLocal8Bit());
    }

    QVariant stored(const QString &group, const QString &key)
    {
        QSettings s(SettingsKeys::Organization, SettingsKeys::Application);
        s.beginGroup(group);
        return s.value(key);
    }

    void put(const QString &group, const QString &key, const QVariant &value)
    {
        QSettings s(SettingsKeys::Organization, SettingsKeys::Application);
        s.beginGroup(group);
        s.setValue(key, value);
        s.endGroup();
        s.sync();
    }

    QString autostartFile() const { return config->path() + "/autostart/Velmora.desktop"; }

    // Where others could replace this test program (a build in /tmp): the program rightly
    // refuses it a log-on entry. Empty where the entry is expected.
    static QString replaceableAt()
    {
        return XdgAutoRunStore().replaceableAt(QCoreApplication::applicationFilePath());
    }

    std::unique_ptr<Controler> startController(MessageCapture &)
    {
        return std::make_unique<Controler>();
    }

private Q_SLOTS:
    void init()
    {
        config = std::make_unique<TemporaryConfig>();
        useDisplay(R"({"modes": [[1024,768,32,60],[800,600,32,60],[1280,1024,32,75]], "current": 2})");
    }

    void cleanup() { config.reset(); }

    void firstStartSeedsEveryKey()
    {
        MessageCapture log;
        auto c = startController(log);
        QCOMPARE(stored("Info", "Version").toString(), QString("0.2.0"));
        QCOMPARE(stored("Ui", "AutoRun").toBool(), true);
        QCOMPARE(stored("Ui", "ShowTray").toBool(), true);
        QCOMPARE(stored("Deamon", "msec").toInt(), 1000);
        QCOMPARE(stored("DisplaySettings", "PelsWidth").toInt(), 1280);
        QCOMPARE(stored("DisplaySettings", "PelsHeight").toInt(), 1024);
        QCOMPARE(stored("DisplaySettings", "BitsPerPel").toInt(), 32);
        QCOMPARE(stored("DisplaySettings", "DisplayFrequency").toInt(), 75);
        // The seeding is on disk already, not only in memory.
        QFile file(config->settingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray ini = file.readAll();
        QVERIFY(ini.contains("PelsWidth=1280"));
        // The interval is written under the very key the daemon reads (INI keys are
        // case-sensitive), and there is no second spelling of it.
        QVERIFY(ini.contains("msec=1000"));
        QVERIFY(!ini.contains("mSec"));
    }

    void storedValuesAreKept()
    {
        put("Info", "Version", "0.1.0");
        put("Ui", "AutoRun", false);
        put("Deamon", "msec", 500);
        put("DisplaySettings", "PelsWidth", 800);
        put("DisplaySettings", "PelsHeight", 600);
        put("DisplaySettings", "BitsPerPel", "sixteen");
        MessageCapture log;
        auto c = startController(log);
        QCOMPARE(stored("Info", "Version").toString(), QString("0.1.0"));
        QCOMPARE(stored("Ui", "AutoRun").toBool(), false);
        QCOMPARE(stored("Deamon", "msec").toInt(), 500);
        QCOMPARE(stored("DisplaySettings", "PelsWidth").toInt(), 800);
        QCOMPARE(stored("DisplaySettings", "PelsHeight").toInt(), 600);
        // Text is written back as it was; only the missing key takes the display's value.
        QCOMPARE(stored("DisplaySettings", "BitsPerPel").toString(), QString("sixteen"));
        QCOMPARE(stored("DisplaySettings", "DisplayFrequency").toInt(), 75);
        QVERIFY(!QFile::exists(autostartFile()));
    }

    void seededIntervalIsTheOneTheDeamonUses()
    {
        put("Deamon", "msec", 500);
        MessageCapture log;
        auto c = startController(log);
        // A daemon over its own store object, as the program gives it.
        QSettings store(SettingsKeys::Organization, SettingsKeys::Application);
        MessageCapture quiet;
        DisplaySettings catalogue(std::make_unique<FakeDisplayBackend>(
            QList<DisplayMode>{{1024, 768, 32, 60}}, 0));
        Deamon deamon;
        deamon.setDisplaySettings(&catalogue);
        deamon.setSettings(&store);
        deamon.start();
        QVERIFY(quiet.lines().contains("msec:500"));
        QCOMPARE(deamon.findChild<QTimer *>()->interval(), 500);
    }

    void unreadableDisplaySeedsZeros()
    {
        useDisplay(R"({"modes": [[1024,768,32,60]], "failReads": true})");
        MessageCapture log;
        auto c = startController(log);
        for (const char *key : {"PelsWidth", "PelsHeight", "BitsPerPel", "DisplayFrequency"})
            QCOMPARE(stored("DisplaySettings", key).toInt(), 0);
        QCOMPARE(stored("DisplaySettings", "PelsWidth").isValid(), true);
    }

    void autostartEntryFollowsTheSetting()
    {
        QVERIFY(Controler::runCommand().endsWith(" -d"));
        QVERIFY(Controler::runCommand().contains(QCoreApplication::applicationFilePath()));
        if (const QString refusedAt = replaceableAt(); !refusedAt.isEmpty()) {
            // Never an entry, an old one removed, said once; the setting stays.
            XdgAutoRunStore store(config->path() + "/autostart");
            store.setValue("Velmora", "/old/place/velmora -d");
            MessageCapture log;
            auto c = startController(log);
            c->updateAutoRun();
            QVERIFY(!QFile::exists(autostartFile()));
            QCOMPARE(log.matching("updateAutorun()"),
                     QStringList({"updateAutorun(): not registered: other users can write " + refusedAt}));
            QCOMPARE(stored("Ui", "AutoRun").toBool(), true);
            return;
        }
        {
            MessageCapture log;
            auto c = startController(log);
            QCOMPARE(log.count("updateAutorun()"), 1);
            XdgAutoRunStore store(config->path() + "/autostart");
            QCOMPARE(store.value("Velmora"), Controler::runCommand());
        }
        {
            // An unchanged command is neither rewritten nor reported.
            const QDateTime before = QFileInfo(autostartFile()).lastModified();
            MessageCapture log;
            auto c = startController(log);
            QCOMPARE(log.count("updateAutorun()"), 0);
            QCOMPARE(QFileInfo(autostartFile()).lastModified(), before);

            // Off removes it silently; on writes it again with the line.
            put("Ui", "AutoRun", false);
            c->updateAutoRun();
            QVERIFY(!QFile::exists(autostartFile()));
            QCOMPARE(log.count("updateAutorun()"), 0);
            put("Ui", "AutoRun", true);
            c->updateAutoRun();
            QVERIFY(QFile::exists(autostartFile()));
            QCOMPARE(log.count("updateAutorun()"), 1);
        }
        {
            // A stale command (the program moved) is replaced.
            XdgAutoRunStore store(config->path() + "/autostart");
            store.setValue("Velmora", "/old/place/velmora -d");
            MessageCapture log;
            auto c = startController(log);
            QCOMPARE(log.count("updateAutorun()"), 1);
            QCOMPARE(store.value("Velmora"), Controler::runCommand());
        }
    }

    void missingAutoRunKeyCountsAsOff()
    {
        MessageCapture log;
        auto c = startController(log);
        QCOMPARE(QFile::exists(autostartFile()), replaceableAt().isEmpty());
        QSettings s(SettingsKeys::Organization, SettingsKeys::Application);
        s.remove("Ui/AutoRun");
        s.sync();
        c->updateAutoRun();
        QVERIFY(!QFile::exists(autostartFile()));
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
