// The whole program in-process: Controler, window, tray and daemon over the fake display.
#include "AutoRunStore.h"
#include "Controler.h"
#include "MainWindow.h"
#include "MonitorSettings.h"
#include "SettingsKeys.h"
#include "TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

class TestWiring : public QObject
{
    Q_OBJECT

    std::unique_ptr<TemporaryConfig> config;

    static MainWindow *mainWindow()
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *m = qobject_cast<MainWindow *>(w))
                return m;
        }
        return nullptr;
    }

    // The tray's menu entry with this text (the tray's menu is a top-level widget).
    static QAction *trayEntry(const QString &text)
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *menu = qobject_cast<QMenu *>(w); menu && !menu->parent()) {
                for (QAction *a : menu->actions()) {
                    if (a->text() == text)
                        return a;
                }
            }
        }
        return nullptr;
    }

    static QPushButton *lockButton() { return mainWindow()->findChild<QPushButton *>("pushButtonLock"); }

    // The log-on entry in this platform's list (a desktop file, or the Run value on Windows).
    static bool registered() { return !AutoRunStore::open()->value(SettingsKeys::Application).isEmpty(); }

    // Where others could replace this test program (a build in /tmp): the program rightly
    // refuses it a log-on entry. Empty where the entry is expected.
    static QString replaceableAt() { return AutoRunStore::open()->replaceableAt(QCoreApplication::applicationFilePath()); }
    // The refusal said once by a program refused there: none where it is registered.
    static QStringList refusals(const QString &at)
    {
        return at.isEmpty() ? QStringList() : QStringList{"updateAutorun(): not registered: other users can write " + at};
    }

    // A display in 1024x768 among three modes; the daemon polls every 100 ms; a mode locked
    // by an earlier run is in the store.
    void prepare(bool autoRun = true)
    {
        const QString json = config->path() + "/display.json";
        QVERIFY(writeFile(json, R"({"modes": [[1280,1024,32,75],[1024,768,32,60],[800,600,32,60]], "current": 1})"));
        qputenv("VELMORA_FAKE_DISPLAY", json.toLocal8Bit());

        QSettings store(SettingsKeys::Organization, SettingsKeys::Application);
        store.setValue("Deamon/msec", 100);
        store.setValue("Ui/AutoRun", autoRun);
        storeLockedMode(store, {800, 600, 32, 60});
    }

    static QVariant stored(const QString &key)
    {
        QSettings store(SettingsKeys::Organization, SettingsKeys::Application);
        return store.value(key);
    }

private Q_SLOTS:
    void init()
    {
        config = std::make_unique<TemporaryConfig>();
        prepare();
    }

    void cleanup()
    {
        QCOMPARE(mainWindow(), nullptr);
        qunsetenv("VELMORA_FAKE_DISPLAY");
        config.reset();
    }

    void foregroundShowsWindowAndLeavesDeamonIdle()
    {
        const QString refusedAt = replaceableAt();
        const int written = refusedAt.isEmpty() ? 1 : 0;
        MessageCapture log;
        {
            Controler controler;
            QCOMPARE(log.count("updateAutorun()"), written);
            QCOMPARE(log.matching("updateAutorun(): not registered"), refusals(refusedAt));
            controler.initUi(false);
            MainWindow *window = mainWindow();
            QVERIFY(window);
            QVERIFY(window->isVisible());
            QTest::qWait(300);
            QVERIFY(!lockButton()->isChecked());
            QCOMPARE(log.matching("msec:").size(), 0);
            QCOMPARE(log.matching("update():").size(), 0);
            // The stored autorun choice is unchanged, so start-up wrote the entry only once.
            QCOMPARE(log.count("updateAutorun()"), written);
            QCOMPARE(stored("DisplaySettings/PelsWidth").toInt(), 800);
        }
        QCOMPARE(log.matching("QThread").size(), 0);
    }

    void backgroundLocksModeInUse()
    {
        MessageCapture log;
        Controler controler;
        controler.initUi(true);
        MainWindow *window = mainWindow();
        QVERIFY(window);
        QVERIFY(!window->isVisible());
        QVERIFY(!lockButton()->isChecked());

        QTRY_VERIFY(lockButton()->isChecked());
        QCOMPARE(lockButton()->text(), QString("已锁定"));
        QCOMPARE(stored("DisplaySettings/PelsWidth").toInt(), 1024);
        QCOMPARE(stored("DisplaySettings/PelsHeight").toInt(), 768);
        QCOMPARE(stored("DisplaySettings/BitsPerPel").toInt(), 32);
        QCOMPARE(stored("DisplaySettings/DisplayFrequency").toInt(), 60);
        // The daemon runs on the mode just stored, started once.
        QTRY_VERIFY(log.lines().contains("update():now=1,locked=1"));
        QCOMPARE(log.matching("msec:"), QStringList({"msec:100"}));
        QVERIFY(!window->isVisible());
        QCOMPARE(registered(), replaceableAt().isEmpty());
    }

    void connections()
    {
        MessageCapture log;
        Controler controler;
        controler.initUi(false);
        MainWindow *window = mainWindow();

        // Lock and Unlock reach the daemon in its thread.
        QTest::mouseClick(lockButton(), Qt::LeftButton);
        QTRY_VERIFY(!log.matching("update():").isEmpty());
        QTest::mouseClick(lockButton(), Qt::LeftButton);
        QTest::qWait(100);
        const int ticks = log.matching("update():").size();
        QTest::qWait(200);
        QCOMPARE(log.matching("update():").size(), ticks);

        // The autorun entry of the Settings menu reaches the log-on start list.
        // Where the program could be replaced, it stays refused, said only the first time.
        const bool entry = replaceableAt().isEmpty();
        QAction *autoRun = window->findChild<QAction *>("actionAutoRun");
        QCOMPARE(registered(), entry);
        autoRun->trigger();
        QVERIFY(!registered());
        log.clear();
        autoRun->trigger();
        QVERIFY(autoRun->isChecked());
        QCOMPARE(registered(), entry);
        QCOMPARE(log.count("updateAutorun()"), entry ? 1 : 0);
        QCOMPARE(log.matching("updateAutorun(): not registered").size(), 0);

        // The tray's Show/Hide toggles the window; a double click does the same, later.
        QAction *showOrHide = trayEntry("显示/隐藏");
        QVERIFY(showOrHide);
        showOrHide->trigger();
        QVERIFY(!window->isVisible());
        showOrHide->trigger();
        QVERIFY(window->isVisible());
    }

    // A program others could replace gets no log-on entry, however often it is asked for:
    // said once in a line and in the status bar; the setting stays.
    void replaceableProgramIsNotRegistered()
    {
#ifdef Q_OS_WIN
        QSKIP("Windows keeps who may write in access lists, not in these bits: scripts/windows-steps.sh");
#endif
        const QString program = QCoreApplication::applicationFilePath();
        const QFile::Permissions permissions = QFile::permissions(program);
        if (!QFile::setPermissions(program, permissions | QFile::WriteOther))
            QSKIP("cannot let others write the test program");
        const auto restore = qScopeGuard([&] { QFile::setPermissions(program, permissions); });
        MessageCapture log;
        Controler controler;
        controler.initUi(false);
        QAction *autoRun = mainWindow()->findChild<QAction *>("actionAutoRun");
        autoRun->trigger();
        autoRun->trigger();
        QVERIFY(autoRun->isChecked());
        QCOMPARE(stored("Ui/AutoRun"), QVariant(true));
        QVERIFY(!registered());
        QCOMPARE(log.count("updateAutorun(): not registered: other users can write " + program), 1);
        QCOMPARE(mainWindow()->statusBar()->currentMessage(), QString("未设置开机启动：其他用户可以替换本程序"));
    }

    // A log-on list that cannot be changed: said, and the menu shows what is in force.
    void autoRunFailureShowsWhatIsInForce()
    {
#ifdef Q_OS_WIN
        QSKIP("the Run key of a test user cannot be made unwritable here");
#endif
        const QString refusedAt = replaceableAt();
        const QString autostart = config->path() + "/autostart";
        if (refusedAt.isEmpty()) {
            // No folder can be made where a file is: the entry cannot be written.
            QFile blocker(autostart);
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            blocker.close();
        } else {
            // Refused here, so removed: an entry that is a folder cannot be.
            QVERIFY(QDir().mkpath(autostart + "/Velmora.desktop"));
        }
        MessageCapture log;
        Controler controler;
        controler.initUi(false);
        QAction *autoRun = mainWindow()->findChild<QAction *>("actionAutoRun");
        QVERIFY(!autoRun->isChecked());
        QCOMPARE(stored("Ui/AutoRun"), QVariant(false));
        QCOMPARE(mainWindow()->statusBar()->currentMessage(), QString("无法更改开机启动设置"));
        QCOMPARE(log.matching("updateAutorun(): the log-on entry cannot be changed").size(), 1);
        QCOMPARE(log.matching("updateAutorun(): not registered"), refusals(refusedAt));
    }

    // While the window's keep-or-revert box is open a request on the channel holds nothing
    // (it would hold the mode under trial) and opens no trial of its own; once answered, a hold
    // asked goes to the keeper, and the window and the lock thread follow it.
    void channelDuringTheWindowsTrial()
    {
        Controler controler;
        controler.initUi(false);
        MainWindow *window = mainWindow();
        window->setRevertDelay(60000);
        window->findChild<QTableWidget *>("tableWidgetSettings")->setCurrentCell(0, 0);
        QByteArray hold, trial;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            watch.stop();
            hold = controler.answer("hold FAKE0 1280 1024 32 75");
            trial = controler.answer("trial FAKE0 20000");
            box->button(QMessageBox::Cancel)->click();
        });
        watch.start(5);
        window->apply();
        QVERIFY2(hold.startsWith("no ") && hold.contains("a trial is open"), hold.constData());
        QVERIFY2(trial.startsWith("no "), trial.constData());
        QVERIFY(!lockButton()->isChecked());

        QCOMPARE(controler.answer("hold FAKE0 1024 768 32 60"), QByteArray("ok"));
        QVERIFY(lockButton()->isChecked());
        QCOMPARE(stored("DisplaySettings/PelsWidth").toInt(), 1024);
        QCOMPARE(controler.answer("release FAKE0"), QByteArray("ok"));
        QVERIFY(!lockButton()->isChecked());
        QCOMPARE(controler.answer("release FAKE0").left(3), QByteArray("no "));
    }

    // Released by identity, a stored hold is that monitor's wherever it was last seen, never
    // the hold of the monitor on that connector now; by connector, the one there now.
    void releaseByIdentityOrConnector()
    {
        const QString json = config->path() + "/display.json";
        QVERIFY(writeFile(json, R"({"outputs": [{"modes": [[1024,768,32,60]], "current": 0},
            {"name": "EXT1", "identity": "AAA-0001-7", "modes": [[800,600,32,60]], "current": 0}]})"));
        {
            QSettings store(SettingsKeys::Organization, SettingsKeys::Application);
            DisplayOutput away;
            away.name = "EXT1";
            away.identity = "BBB-0002-2";
            away.hasSerial = true;
            MonitorSettings::store(store, away, {800, 600, 32, 60}, true);
            DisplayOutput here = away;
            here.identity = "AAA-0001-7";
            MonitorSettings::store(store, here, {800, 600, 32, 60}, true);
        }
        Controler controler;
        controler.initUi(true);
        QCOMPARE(controler.answer("release BBB-0002-2"), QByteArray("ok"));
        QCOMPARE(stored("Monitors/BBB-0002-2/Locked").toBool(), false);
        QCOMPARE(stored("Monitors/AAA-0001-7/Locked").toBool(), true);
        QCOMPARE(controler.answer("release EXT1"), QByteArray("ok"));
        QCOMPARE(stored("Monitors/AAA-0001-7/Locked").toBool(), false);
        QVERIFY(controler.answer("release EXT1").startsWith("no "));
    }

    void storedAutoRunOffIsKept()
    {
        prepare(false);
        MessageCapture log;
        Controler controler;
        controler.initUi(false);
        QVERIFY(!mainWindow()->findChild<QAction *>("actionAutoRun")->isChecked());
        QCOMPARE(stored("Ui/AutoRun"), QVariant(false));
        QVERIFY(!registered());
        QCOMPARE(log.count("updateAutorun()"), 0);
    }

    void trayExitEndsEventLoop()
    {
        MessageCapture log;
        {
            Controler controler;
            QObject::connect(&controler, &Controler::quit, qApp, &QCoreApplication::quit);
            controler.initUi(true);
            QAction *exit = trayEntry("退出");
            QVERIFY(exit);
            QTimer::singleShot(200, exit, &QAction::trigger);
            QObject guard; // a stray timer would end a later test's event loop
            QTimer::singleShot(10000, &guard, [] { qApp->exit(3); });
            QCOMPARE(qApp->exec(), 0);
            // The lock had been switched on before the end.
            QVERIFY(lockButton()->isChecked());
        }
        QCOMPARE(log.matching("QThread").size(), 0);
    }

    void closingWindowEndsEventLoop()
    {
        Controler controler;
        QObject::connect(&controler, &Controler::quit, qApp, &QCoreApplication::quit);
        controler.initUi(false);
        QTimer::singleShot(100, mainWindow(), &QWidget::close);
        QObject guard; // a stray timer would end a later test's event loop
        QTimer::singleShot(10000, &guard, [] { qApp->exit(3); });
        QCOMPARE(qApp->exec(), 0);
    }
};

QTEST_MAIN(TestWiring)
#include "tst_wiring.moc"
