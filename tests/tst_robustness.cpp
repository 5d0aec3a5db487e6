// Bad input and lost resources, through the real program: corrupt and unwritable settings,
// odd command lines, the X server dying under a running lock.
#include "HostFolder.h"
#include "ProgramHome.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTest>

class TestRobustness : public QObject
{
    Q_OBJECT

    std::unique_ptr<ProgramHome> home;

    QString configDir() const { return home->configHome(); }
    QString settingsFile() const { return home->settingsFile(); }

    // Starts the program and waits until its lock is engaged ("msec:" line).
    QByteArray startLocked(QProcess &velmora, const QStringList &arguments, const QProcessEnvironment &env)
    {
        QByteArray err;
        if (home->start(velmora, arguments, env))
            waitForError(velmora, err, "msec:", 10000);
        return err;
    }

private Q_SLOTS:
    void init()
    {
        home = std::make_unique<ProgramHome>();
        QVERIFY(writeFile(home->fakeDisplayFile(), R"({"modes": [[1024,768,32,60],[800,600,32,60]], "current": 0})"));
    }

    void corruptSettingsFileKeepsWhatCanBeRead()
    {
        QDir().mkpath(configDir() + "/Orvanne");
        QFile file(settingsFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Info]\nVersion=0.1.0\n\x00\xff\xfe garbage ===\n[Ui\nAutoRun=false\n"
                   "[Deamon]\nmsec=250\n[DisplaySettings]\nPelsWidth=\xff\xff\nPelsHeight\n",
                   110);
        file.close();
        QProcess velmora;
        const QByteArray err = startLocked(velmora, {"-d"}, home->fakeDisplay());
        QVERIFY2(err.contains("msec:250"), err.constData());
        QCOMPARE(velmora.state(), QProcess::Running);
        stopProcess(velmora);
        QSettings s(settingsFile(), QSettings::IniFormat);
        QCOMPARE(s.value("Info/Version").toString(), QString("0.1.0"));
        QCOMPARE(s.value("Deamon/msec").toInt(), 250);
        // The lock stored the mode in use over the broken values.
        QCOMPARE(s.value("DisplaySettings/PelsWidth").toInt(), 1024);
        QCOMPARE(s.value("DisplaySettings/PelsHeight").toInt(), 768);
    }

    void unwritableSettingsLocationStillLocks_data()
    {
        QTest::addColumn<bool>("fileInTheWay");
        QTest::newRow("a file where the folder belongs") << true;
        // Root writes through permissions: only meaningful for other users.
        if (qEnvironmentVariable("USER") != "root" && QDir::homePath() != "/root")
            QTest::newRow("read-only folder") << false;
    }

    void unwritableSettingsLocationStillLocks()
    {
        QFETCH(bool, fileInTheWay);
        QDir().mkpath(configDir());
        if (fileInTheWay) {
            QFile blocker(configDir() + "/Orvanne");
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        } else {
            QDir().mkpath(configDir() + "/Orvanne");
            QSettings s(settingsFile(), QSettings::IniFormat);
            s.setValue("Deamon/msec", 250);
            s.sync();
            QFile::setPermissions(configDir() + "/Orvanne", QFile::ReadOwner | QFile::ExeOwner);
            QFile::setPermissions(settingsFile(), QFile::ReadOwner);
        }
        QProcess velmora;
        const QByteArray err = startLocked(velmora, {"-d"}, home->fakeDisplay());
        // It holds the mode all the same, and leaves what stands in the way alone.
        QVERIFY2(err.contains(fileInTheWay ? "msec:1000" : "msec:250"), err.constData());
        QCOMPARE(velmora.state(), QProcess::Running);
        stopProcess(velmora);
        if (fileInTheWay) {
            QVERIFY(QFileInfo(configDir() + "/Orvanne").isFile());
            QCOMPARE(QFileInfo(configDir() + "/Orvanne").size(), 0);
        } else {
            QSettings s(settingsFile(), QSettings::IniFormat);
            QCOMPARE(s.value("Deamon/msec").toInt(), 250);
            QFile::setPermissions(configDir() + "/Orvanne", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    }

    void oddArgumentsAreEchoedAndHarmless()
    {
        const QString longArgument(100000, QLatin1Char('x'));
        // Raw bytes that are not UTF-8 can only be passed through a shell.
        QProcess velmora;
        velmora.setProcessEnvironment(home->fakeDisplay());
        velmora.start("/bin/sh", {"-c", "exec \"$0\" \"%s%n%d%%\" \"$1\" \"$(printf 'ab\\377\\376cd')\" -d",
                                  QStringLiteral(VELMORA_BINARY), longArgument});
        QVERIFY(velmora.waitForStarted());
        QByteArray err;
        waitForError(velmora, err, "msec:", 10000);
        QCOMPARE(velmora.state(), QProcess::Running);
        stopProcess(velmora);
        const QList<QByteArray> lines = err.split('\n');
        QVERIFY2(lines.contains("%s%n%d%%"), err.left(2000).constData());
        QVERIFY(lines.contains(longArgument.toLatin1()));
        // Bytes that are not text show as replacement characters around the readable rest.
        QVERIFY(lines.contains(QString::fromUtf8("ab\uFFFD\uFFFDcd").toUtf8()));
        QVERIFY(lines.contains("-d"));
    }

    void shutdownNeverHangs_data()
    {
        QTest::addColumn<int>("terms");
        QTest::newRow("the stuck lock thread is left behind") << 1;
        QTest::newRow("a second SIGTERM ends it at once") << 2;
    }

    void shutdownNeverHangs()
    {
        QFETCH(int, terms);
        // The lock thread hangs in an apply: the mode in use is unlisted (so -d locks the
        // stored one) and every apply takes a minute.
        QVERIFY(writeFile(home->fakeDisplayFile(),
                          R"({"modes": [[1024,768,32,60],[800,600,32,60]], "current": [1920,1080,32,144],)"
                          R"( "applyDelay": 60000})"));
        QVERIFY(writeFile(settingsFile(), "[Deamon]\nmsec=100\n[DisplaySettings]\nPelsWidth=800\nPelsHeight=600\n"
                                          "BitsPerPel=32\nDisplayFrequency=60\n"));
        QProcess velmora;
        QByteArray err = startLocked(velmora, {"-d"}, home->fakeDisplay());
        QTRY_VERIFY_WITH_TIMEOUT((err += velmora.readAllStandardError()).contains("applyDisplaySetting():32 800 600 60"),
                                 5000);
        velmora.terminate();
        if (terms == 2) {
            QTest::qWait(300);
            velmora.terminate();
        }
        QElapsedTimer clock;
        clock.start();
        const bool ended = velmora.waitForFinished(8000);
        err += velmora.readAllStandardError();
        if (!ended)
            velmora.kill();
        QVERIFY2(ended, err.right(2000).constData());
        if (terms == 1) {
            QVERIFY(velmora.exitStatus() == QProcess::NormalExit && velmora.exitCode() == 0);
            // It waited out the bounded join (3 s, on a coarse timer) before going on without it.
            QVERIFY2(clock.elapsed() >= 2800, qPrintable(QString::number(clock.elapsed())));
        } else {
            // Ended by the signal itself, without waiting for the lock thread. ThreadSanitizer
            // holds a signal back while its thread sits in Qt's futex wait, here until the
            // bounded wait is over.
            QCOMPARE(velmora.exitStatus(), QProcess::CrashExit);
            const qint64 atOnce = qEnvironmentVariableIsSet("TSAN_OPTIONS") ? 4000 : 1000;
            QVERIFY2(clock.elapsed() < atOnce, qPrintable(QString::number(clock.elapsed())));
        }
    }

    void xServerDyingEndsTheProgramWithoutHanging()
    {
        QTemporaryDir xdir;
        const QString script = QStringLiteral(VELMORA_SOURCE_DIR "/scripts/xserver.sh");
        QProcess::execute(script, {"start", xdir.path()});
        const HostFolder xserver(xdir.path(), "display");
        REQUIRE_HOST(xserver);
        QProcess velmora;
        const QByteArray err = startLocked(velmora, {"-d"}, home->x11(xserver.value("display")));
        QVERIFY2(err.contains("msec:1000"), err.constData());
        QCOMPARE(QProcess::execute(script, {"stop", xdir.path()}), 0);
        QVERIFY2(velmora.waitForFinished(10000), "still running after its X server died");
        QCOMPARE(velmora.exitStatus(), QProcess::NormalExit);
        QVERIFY(velmora.readAllStandardError().contains("X11 connection broke"));
    }
};

QTEST_GUILESS_MAIN(TestRobustness)
#include "tst_robustness.moc"
