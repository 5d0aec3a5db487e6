// The main window over the scripted fake display: table, trial with revert, lock, label.
#include "DisplaySettings.h"
#include "FakeDisplayBackend.h"
#include "HoldKeeper.h"
#include "MainWindow.h"
#include "MonitorSettings.h"
#include "SettingsKeys.h"
#include "TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStyle>
#include <QTableWidget>
#include <QTest>
#include <QTranslator>
#include <QTimer>

#include <functional>

namespace {
const DisplayMode M1280 {1280, 1024, 32, 75};
const DisplayMode M1024 {1024, 768, 32, 60};
const DisplayMode M800 {800, 600, 32, 60};
const DisplayMode M640 {640, 480, 16, 60};
const DisplayMode Unlisted {1920, 1080, 32, 144};

QString infoText(const DisplayMode &m)
{
    return QStringLiteral("当前屏幕设置：<br />分辨率 %1x%2<br />颜色位数 %3<br />刷新率 %4")
        .arg(m.PelsWidth)
        .arg(m.PelsHeight)
        .arg(m.BitsPerPel)
        .arg(m.DisplayFrequency);
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<TemporaryConfig> config;
    std::unique_ptr<QSettings> store;
    FakeDisplayBackend *fake = nullptr;
    std::unique_ptr<DisplaySettings> catalogue;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QTimer> boxWatch;

    QTableWidget *table() const { return window->findChild<QTableWidget *>("tableWidgetSettings"); }
    QPushButton *applyButton() const { return window->findChild<QPushButton *>("pushButtonApply"); }
    QPushButton *lockButton() const { return window->findChild<QPushButton *>("pushButtonLock"); }
    QLabel *label() const { return window->findChild<QLabel *>("labelInfoNow"); }
    QAction *autoRunAction() const { return window->findChild<QAction *>("actionAutoRun"); }

    // A shown window over these modes, with the display in mode `current` (-1: Unlisted).
    void open(const QList<DisplayMode> &modes, int current, bool show = true)
    {
        auto backend = std::make_unique<FakeDisplayBackend>(modes, current);
        if (current < 0)
            backend->setCurrent(Unlisted);
        fake = backend.get();
        MessageCapture quiet;
        catalogue = std::make_unique<DisplaySettings>(std::move(backend));
        window = std::make_unique<MainWindow>();
        window->setDisplaySettings(catalogue.get());
        window->setSettings(store.get());
        window->initTable();
        if (show) {
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        }
        fake->resetCounts();
    }

    void clickCell(int row, int column)
    {
        QTableWidget *t = table();
        const QRect rect = t->visualItemRect(t->item(row, column));
        QVERIFY(!rect.isEmpty());
        QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, rect.center());
    }

    // Runs `answer` on the modal box as soon as one is up (with `every`, on each one).
    void whenBoxOpens(std::function<void(QMessageBox *)> answer, bool every = false)
    {
        boxWatch = std::make_unique<QTimer>();
        boxWatch->setInterval(5);
        connect(boxWatch.get(), &QTimer::timeout, this, [this, answer, every] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (box && box->isVisible()) {
                if (!every)
                    boxWatch->stop();
                answer(box);
            }
        });
        boxWatch->start();
    }

    // The store as it is on disk, not as this process caches it.
    QByteArray storeFile() const
    {
        QFile file(config->settingsFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private Q_SLOTS:
    void init()
    {
        config = std::make_unique<TemporaryConfig>();
        store = std::make_unique<QSettings>(SettingsKeys::Organization, SettingsKeys::Application);
        store->setValue("Ui/AutoRun", true);
    }

    void cleanup()
    {
        boxWatch.reset();
        window.reset();
        catalogue.reset();
        store.reset();
        config.reset();
    }

    void form()
    {
        open({M1280, M1024}, 1, false);
        QCOMPARE(window->objectName(), QString("MainWindow"));
        QCOMPARE(window->windowTitle(), QString("Velmora"));
        QCOMPARE(window->size(), QSize(375, 290));
        QCOMPARE(window->minimumSize(), QSize(375, 290));

        QStringList menus;
        for (QAction *a : window->menuBar()->actions())
            menus << a->text();
        QCOMPARE(menus, QStringList({"设置", "帮助"}));
        // With one monitor "Hold this arrangement" is not offered.
        QList<QAction *> settingsMenu;
        for (QAction *a : window->findChild<QMenu *>("menuSettings")->actions()) {
            if (a->isVisible())
                settingsMenu << a;
        }
        const QList<QAction *> helpMenu = window->findChild<QMenu *>("menuHelp")->actions();
        QCOMPARE(settingsMenu, QList<QAction *>({autoRunAction()}));
        QCOMPARE(autoRunAction()->text(), QString("开机后台运行"));
        QCOMPARE(helpMenu.size(), 1);
        QCOMPARE(helpMenu.first()->text(), QString("关于"));

        auto *showTray = window->findChild<QAction *>("actionShowtray");
        QCOMPARE(showTray->text(), QString("最小化时隐藏"));
        QVERIFY(showTray->isCheckable() && !showTray->isChecked() && !showTray->isEnabled());
        QVERIFY(showTray->associatedObjects().isEmpty());

        QStringList headers;
        for (int c = 0; c < table()->columnCount(); ++c)
            headers << table()->horizontalHeaderItem(c)->text();
        QCOMPARE(headers, QStringList({"长", "宽", "颜色位数", "刷新率"}));
        QCOMPARE(table()->horizontalHeader()->sectionResizeMode(0), QHeaderView::Stretch);
        QCOMPARE(applyButton()->text(), QString("应用"));
        QCOMPARE(lockButton()->text(), QString("锁定"));
        QVERIFY(lockButton()->isCheckable());
    }

    void tableListsModesAndSelectsModeInUse()
    {
        open({M1280, M1024, M800, M640}, 2);
        QCOMPARE(table()->rowCount(), 4);
        QCOMPARE(table()->columnCount(), 4);
        const QList<DisplayMode> modes{M1280, M1024, M800, M640};
        for (int r = 0; r < 4; ++r) {
            const QStringList want{QString::number(modes[r].PelsWidth), QString::number(modes[r].PelsHeight),
                                   QString::number(modes[r].BitsPerPel),
                                   QString::number(modes[r].DisplayFrequency)};
            QStringList got;
            for (int c = 0; c < 4; ++c)
                got << table()->item(r, c)->text();
            QCOMPARE(got, want);
        }
        QCOMPARE(table()->currentRow(), 2);
        QCOMPARE(table()->selectionModel()->selectedRows().size(), 1);
        QVERIFY(!applyButton()->isEnabled());
        QVERIFY(lockButton()->isEnabled() && !lockButton()->isChecked());
    }

    void columnsShareWidth_data()
    {
        QTest::addColumn<QString>("language");
        QTest::newRow("source") << QString();
        QTest::newRow("en") << QStringLiteral("en");
    }

    void columnsShareWidth()
    {
        QFETCH(QString, language);
        QTranslator translator;
        if (!language.isEmpty()) {
            QVERIFY(translator.load(QStringLiteral(":/i18n/velmora_") + language));
            QCoreApplication::installTranslator(&translator);
        }
        // Enough modes for a vertical scroll bar, as on a real display.
        QList<DisplayMode> modes;
        for (int i = 0; i < 40; ++i)
            modes.append({640 + 16 * i, 480, 32, 60});
        open(modes, 0);
        QCoreApplication::removeTranslator(&translator);
        QTableWidget *t = table();
        QTRY_VERIFY(t->verticalScrollBar()->isVisible());
        QHeaderView *header = t->horizontalHeader();
        const auto total = [header] {
            int sum = 0;
            for (int c = 0; c < 4; ++c)
                sum += header->sectionSize(c);
            return sum;
        };
        // The header follows the viewport once the scroll bar's resize has been handled.
        QTRY_COMPARE(total(), t->viewport()->width());
        const int margins = 2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
        // The titles of the current row's columns are drawn bold.
        QFont bold = header->font();
        bold.setBold(true);
        for (int c = 0; c < 4; ++c) {
            QVERIFY(qAbs(header->sectionSize(c) - header->sectionSize(0)) <= 1);
            // Every title whole beside the scroll bar.
            const QString title = t->horizontalHeaderItem(c)->text();
            QVERIFY2(header->sectionSize(c) >= QFontMetrics(bold).horizontalAdvance(title) + margins,
                     qPrintable(title));
        }
        QVERIFY(!t->horizontalScrollBar()->isVisible());
    }

    void cellClicksSetButtons()
    {
        open({M1280, M1024, M800, M640}, 1);
        for (int column = 0; column < 4; ++column) {
            clickCell(2, column);
            QCOMPARE(table()->currentRow(), 2);
            QVERIFY(applyButton()->isEnabled());
            QVERIFY(!lockButton()->isEnabled());
            clickCell(1, 3 - column);
            QVERIFY(!applyButton()->isEnabled());
            QVERIFY(lockButton()->isEnabled());
        }

        // The keyboard and the row header move the buttons as a click does: the row under the
        // cursor is never locked unless it is the mode on screen.
        clickCell(1, 0);
        table()->setFocus();
        QSignalSpy started(window.get(), &MainWindow::startDeamon);
        QTest::keyClick(table(), Qt::Key_Down);
        QCOMPARE(table()->currentRow(), 2);
        QVERIFY(applyButton()->isEnabled());
        QVERIFY(!lockButton()->isEnabled());
        QTest::mouseClick(lockButton(), Qt::LeftButton);
        QCOMPARE(started.count(), 0);
        QVERIFY(!lockButton()->isChecked());
        QVERIFY(!store->contains("DisplaySettings/PelsWidth"));
        QTest::keyClick(table(), Qt::Key_Up);
        QVERIFY(!applyButton()->isEnabled());
        QVERIFY(lockButton()->isEnabled());
        QHeaderView *rows = table()->verticalHeader();
        QTest::mouseClick(rows->viewport(), Qt::LeftButton, {},
                          QPoint(rows->width() / 2, rows->sectionViewportPosition(3) + rows->sectionSize(3) / 2));
        QCOMPARE(table()->currentRow(), 3);
        QVERIFY(applyButton()->isEnabled());
        QVERIFY(!lockButton()->isEnabled());

        // Apply takes the row it finds.
        MessageCapture log;
        window->setRevertDelay(60000);
        whenBoxOpens([this](QMessageBox *box) {
            QCOMPARE(fake->current(), M640);
            box->button(QMessageBox::Ok)->click();
        });
        QTest::mouseClick(applyButton(), Qt::LeftButton);
        QCOMPARE(fake->lastApplied(), M640);
        QCOMPARE(log.count("3"), 1);
    }

    void refusedTrialIsNotOfferedForKeeping_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("refused") << "refused";
        QTest::newRow("mode gone") << "mode gone";
    }

    void refusedTrialIsNotOfferedForKeeping()
    {
        QFETCH(QString, how);
        open({M1280, M1024, M800}, 1);
        if (how == "refused")
            fake->setRefuseApplies(true);
        else
            fake->setModes({M1280, M1024});
        window->setRevertDelay(60000);
        clickCell(2, 0);
        QStringList seen;
        whenBoxOpens([&](QMessageBox *box) {
            seen << box->windowTitle() << box->text();
            QCOMPARE(box->icon(), QMessageBox::Warning);
            box->button(QMessageBox::Ok)->click();
        });
        window->apply();
        // One box, and it says what happened: no question about keeping a mode never set.
        QCOMPARE(seen, QStringList({"显示设置", "无法应用该显示设置"}));
        QCOMPARE(fake->current(), M1024);
        QVERIFY(applyButton()->isEnabled());
        QVERIFY(!lockButton()->isEnabled());
    }

    void trial_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("kept");
        QTest::newRow("ok") << "ok" << true;
        // Return (or a key held from the table) must not keep an untried mode.
        QTest::newRow("return") << "return" << false;
        QTest::newRow("cancel") << "cancel" << false;
        QTest::newRow("escape") << "escape" << false;
        QTest::newRow("close") << "close" << false;
        QTest::newRow("timer") << "timer" << false;
    }

    void trial()
    {
        QFETCH(QString, answer);
        QFETCH(bool, kept);
        open({M1280, M1024, M800, M640}, 1);
        const int delay = 300;
        window->setRevertDelay(delay);
        clickCell(2, 1);
        QCOMPARE(label()->text(), infoText(M1024));

        MessageCapture log;
        bool seen = false;
        whenBoxOpens([&](QMessageBox *box) {
            seen = true;
            // The mode is switched before the question is asked.
            QCOMPARE(fake->current(), M800);
            QCOMPARE(box->windowTitle(), QString("显示设置"));
            QCOMPARE(box->text(), QString("是否保留这些设置？15秒后恢复原设置"));
            QCOMPARE(box->icon(), QMessageBox::Warning);
            QCOMPARE(box->standardButtons(), QMessageBox::Ok | QMessageBox::Cancel);
            QVERIFY(box->isModal());
            if (answer == "ok")
                box->button(QMessageBox::Ok)->click();
            else if (answer == "cancel")
                box->button(QMessageBox::Cancel)->click();
            else if (answer == "return")
                QTest::keyClick(box, Qt::Key_Return);
            else if (answer == "escape")
                QTest::keyClick(box, Qt::Key_Escape);
            else if (answer == "close")
                box->close();
        });
        QElapsedTimer clock;
        clock.start();
        window->apply();
        const qint64 answeredAfter = clock.elapsed();
        QVERIFY(seen);
        QCOMPARE(log.count("2"), 1);
        if (answer == "timer")
            QVERIFY2(answeredAfter >= delay - 20, qPrintable(QString::number(answeredAfter)));

        QCOMPARE(fake->current(), kept ? M800 : M1024);
        QCOMPARE(fake->applies(), kept ? 1 : 2);
        if (!kept)
            QCOMPARE(fake->lastApplied(), M1024);
        QCOMPARE(applyButton()->isEnabled(), !kept);
        QCOMPARE(lockButton()->isEnabled(), kept);
        QCOMPARE(table()->currentRow(), 2);
        // The label follows at once, not at the next 3-second tick.
        QTRY_COMPARE_WITH_TIMEOUT(label()->text(), infoText(fake->current()), 500);

        // A shot still pending from the answered box never reverts.
        QTest::qWait(delay + 200);
        QCOMPARE(fake->applies(), kept ? 1 : 2);
        QCOMPARE(fake->current(), kept ? M800 : M1024);
    }

    void trialAlwaysHasAWayBack_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<int>("applies");
        QTest::addColumn<bool>("back");
        const QString keep = "是否保留这些设置？15秒后恢复原设置";
        // Answered "failed" but switched all the same: offered for keeping, and reverted.
        QTest::newRow("apply misreported") << "misreported" << QStringList{keep} << 2 << true;
        // No way back known: nothing is tried.
        QTest::newRow("mode in use unreadable") << "unreadable" << QStringList{"无法应用该显示设置"} << 0 << true;
        // The way back refused: tried twice, then said.
        QTest::newRow("revert refused") << "revert refused" << QStringList{keep, "无法恢复原来的显示设置"} << 3 << false;
    }

    void trialAlwaysHasAWayBack()
    {
        QFETCH(QString, fault);
        QFETCH(QStringList, boxes);
        QFETCH(int, applies);
        QFETCH(bool, back);
        open({M1280, M1024, M800}, 1);
        window->setRevertDelay(60000);
        clickCell(2, 0);
        fake->setAppliesReportFailure(fault == "misreported");
        fake->setCurrentUnreadable(fault == "unreadable");
        MessageCapture log;
        QStringList seen;
        whenBoxOpens([&](QMessageBox *box) {
            seen << box->text();
            fake->setRefuseApplies(fault == "revert refused");
            // The keep box is answered Cancel, a warning Ok.
            box->button(box->button(QMessageBox::Cancel) ? QMessageBox::Cancel : QMessageBox::Ok)->click();
        }, true);
        window->apply();
        QCOMPARE(seen, boxes);
        QCOMPARE(fake->applies(), applies);
        QCOMPARE(fake->current(), back ? M1024 : M800);
        QCOMPARE(log.matching("trial:"),
                 back ? QStringList() : QStringList{"trial: the display did not go back to 1024x768 32 bpp 60 Hz"});
    }

    void revertWaitsFifteenSeconds()
    {
        open({M1280, M1024, M800}, 1);
        QCOMPARE(window->revertDelay(), 15000);
        clickCell(0, 0);
        bool stillOpen = false;
        whenBoxOpens([&](QMessageBox *box) {
            QTimer::singleShot(14000, box, [&] { stillOpen = true; });
        });
        QElapsedTimer clock;
        clock.start();
        window->apply();
        const qint64 elapsed = clock.elapsed();
        QVERIFY(stillOpen);
        // Never early; late only by what a loaded machine (or Wine) adds.
        QVERIFY2(elapsed >= 14900 && elapsed < 20000, qPrintable(QString::number(elapsed)));
        QCOMPARE(fake->current(), M1024);
    }

    void boxesClosingWhileWindowHiddenKeepProgramRunning()
    {
        // The window hidden to the tray while a box is up: closing the box (answered by the
        // timer, or the About box) must not be taken for closing the last window.
        open({M1280, M1024}, 1);
        window->setRevertDelay(100);
        clickCell(0, 0);
        QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
        int rc = -1;
        QTimer::singleShot(0, this, [&] {
            whenBoxOpens([this](QMessageBox *) { window->hide(); });
            window->apply();
            window->show();
            whenBoxOpens([this](QMessageBox *box) {
                QVERIFY(box->text().contains(QStringLiteral("v" VELMORA_VERSION)));
                window->hide();
                box->button(QMessageBox::Ok)->click();
            });
            window->findChild<QAction *>("actionAbout")->trigger();
            QTimer::singleShot(100, qApp, [] { qApp->exit(7); });
        });
        QObject guard; // a stray timer would end a later test's event loop
        QTimer::singleShot(10000, &guard, [] { qApp->exit(1); });
        rc = qApp->exec();
        QCOMPARE(rc, 7);
        QCOMPARE(lastClosed.count(), 0);
        QCOMPARE(fake->current(), M1024);
    }

    void about()
    {
        open({M1024}, 0);
        QString title, text;
        whenBoxOpens([&](QMessageBox *box) {
            title = box->windowTitle();
            text = box->text();
            QCOMPARE(box->buttons().size(), 1);
            box->buttons().first()->click();
        });
        window->findChild<QAction *>("actionAbout")->trigger();
        QCOMPARE(title, QString("关于"));
        QVERIFY(text.contains("<h1>Velmora</h1>"));
        QVERIFY(text.contains(QStringLiteral("<h2>v" VELMORA_VERSION "</h2>")));
        QVERIFY(text.contains(QStringLiteral("<a href=\"%1\">Velmora</a> is powered by <a href=\"%2\">Orvanne</a>")
                                  .arg(MainWindow::HomePage, MainWindow::AuthorPage)));
    }

    void lockStoresSyncedModeBeforeStart()
    {
        open({M1280, M1024, M800, M640}, 1);
        window->setRevertDelay(60000);
        // Try 800x600, keep it, then lock it.
        clickCell(2, 0);
        whenBoxOpens([](QMessageBox *box) { box->button(QMessageBox::Ok)->click(); });
        QTest::mouseClick(applyButton(), Qt::LeftButton);
        QVERIFY(lockButton()->isEnabled());

        QByteArray onDiskAtStart;
        QSignalSpy started(window.get(), &MainWindow::startDeamon);
        QSignalSpy stopped(window.get(), &MainWindow::stopDeamon);
        connect(window.get(), &MainWindow::startDeamon, this, [&] { onDiskAtStart = storeFile(); });
        QTest::mouseClick(lockButton(), Qt::LeftButton);

        QCOMPARE(started.count(), 1);
        QCOMPARE(stopped.count(), 0);
#ifndef Q_OS_WIN // there the store is the registry, with no file to read back
        QVERIFY(onDiskAtStart.contains("[DisplaySettings]"));
        for (const char *line : {"PelsWidth=800", "PelsHeight=600", "BitsPerPel=32", "DisplayFrequency=60"})
            QVERIFY2(onDiskAtStart.contains(line), line);
#endif
        QCOMPARE(store->value("DisplaySettings/PelsWidth").toInt(), 800);
        QCOMPARE(store->value("DisplaySettings/PelsHeight").toInt(), 600);

        QVERIFY(lockButton()->isChecked());
        QCOMPARE(lockButton()->text(), QString("已锁定"));
        QVERIFY(!table()->isEnabled());
        QVERIFY(!applyButton()->isEnabled());
        // A locked table takes no clicks.
        clickCell(0, 0);
        QVERIFY(!applyButton()->isEnabled());
        QCOMPARE(table()->currentRow(), 2);

        const QByteArray before = storeFile();
        QTest::mouseClick(lockButton(), Qt::LeftButton);
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(started.count(), 1);
        QVERIFY(!lockButton()->isChecked());
        QCOMPARE(lockButton()->text(), QString("锁定"));
        QVERIFY(table()->isEnabled());
        QVERIFY(lockButton()->isEnabled());
        store->sync();
        QCOMPARE(storeFile(), before);
    }

    void deamonRunPressesLockOnNextTurn()
    {
        open({M1280, M1024}, 1, false);
        QSignalSpy started(window.get(), &MainWindow::startDeamon);
        window->deamonRun();
        QCOMPARE(started.count(), 0);
        QTRY_COMPARE(started.count(), 1);
        QCOMPARE(lockButton()->text(), QString("已锁定"));
        QCOMPARE(store->value("DisplaySettings/PelsWidth").toInt(), 1024);
        QTest::qWait(50);
        QCOMPARE(started.count(), 1);
    }

    void autoRunChoice_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("checked");
        QTest::addColumn<int>("emitted");
        QTest::newRow("true") << QVariant(true) << true << 0;
        QTest::newRow("false") << QVariant(false) << false << 1;
        QTest::newRow("missing") << QVariant() << false << 1;
    }

    void autoRunChoice()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, checked);
        QFETCH(int, emitted);
        if (stored.isValid())
            store->setValue("Ui/AutoRun", stored);
        else
            store->remove("Ui/AutoRun");

        MessageCapture quiet;
        catalogue = std::make_unique<DisplaySettings>(std::make_unique<FakeDisplayBackend>(QList<DisplayMode>{M1024}, 0));
        window = std::make_unique<MainWindow>();
        QSignalSpy spy(window.get(), &MainWindow::updateAutoRun);
        window->setDisplaySettings(catalogue.get());
        window->setSettings(store.get());
        QCOMPARE(autoRunAction()->isChecked(), checked);
        QCOMPARE(spy.count(), emitted);
        if (emitted)
            QCOMPARE(store->value("Ui/AutoRun"), QVariant(false));
        else
            QCOMPARE(store->value("Ui/AutoRun").toBool(), true);
        QCOMPARE(store->allKeys().filter("AutoRun"), QStringList({"Ui/AutoRun"}));

        // The menu entry writes the choice before asking for the log-on entry.
        bool storedAtSignal = !checked;
        connect(window.get(), &MainWindow::updateAutoRun, this,
                [&] { storedAtSignal = store->value("Ui/AutoRun").toBool(); });
        autoRunAction()->trigger();
        QCOMPARE(spy.count(), emitted + 1);
        QCOMPARE(storedAtSignal, !checked);
        QCOMPARE(store->value("Ui/AutoRun").toBool(), !checked);
    }

    void infoLabel()
    {
        open({M1280, M1024}, 1, false);
        QCOMPARE(label()->text(), QString());
        QTRY_COMPARE(label()->text(), infoText(M1024));
        QCOMPARE(label()->textFormat(), Qt::AutoText);

        // While shown: read from the display, not the table, every 3 seconds.
        window->show();
        fake->setCurrent(Unlisted);
        QTRY_COMPARE_WITH_TIMEOUT(label()->text(), infoText(Unlisted), 3500);
        fake->setFailReads(true);
        QTRY_COMPARE_WITH_TIMEOUT(label()->text(), infoText({0, 0, 0, 0}), 3500);

        // Hidden (in the tray): no reads at all; shown again: up to date at once.
        fake->setFailReads(false);
        window->hide();
        fake->resetCounts();
        QTest::qWait(3300);
        QCOMPARE(fake->currentReads(), 0);
        window->show();
        QCOMPARE(label()->text(), infoText(Unlisted));
        QCOMPARE(fake->currentReads(), 1);
    }

    void minimizeHides()
    {
        open({M1280, M1024}, 1);
        window->setWindowState(Qt::WindowMinimized);
        // Hidden on the next turn, not inside the event.
        QVERIFY(window->isVisible());
        QTRY_VERIFY(!window->isVisible());

        window->showOrHide();
        QVERIFY(window->isVisible());
        QVERIFY(window->windowState() & Qt::WindowMinimized);
        window->showOrHide();
        QVERIFY(!window->isVisible());
        window->showOrHide();
        QVERIFY(window->isVisible());
    }

    void chooserServesEachMonitor()
    {
        // One monitor: the window as it always was.
        open({M1280, M1024}, 1);
        auto *chooser = window->findChild<QComboBox *>("comboBoxMonitor");
        QVERIFY(!chooser->isVisible());

        // Two: the chooser starts on the primary; the other's modes, trial and lock are its own.
        fake->addOutput("EXT1", {M800, M640, M1024}, M640);
        fake->setOutputIdentity("EXT1", "AAA-0001-7");
        DisplayOutput ext1;
        for (const DisplayOutput &o : catalogue->outputs())
            ext1 = o.name == "EXT1" ? o : ext1;
        DisplaySettings other(catalogue->backend(), ext1);
        window = std::make_unique<MainWindow>();
        window->setDisplaySettings(catalogue.get());
        window->addMonitor(&other);
        window->setSettings(store.get());
        QSignalSpy held(window.get(), &MainWindow::heldChanged);
        QSignalSpy changed(window->holdKeeper(), &HoldKeeper::changed);
        window->initTable();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        chooser = window->findChild<QComboBox *>("comboBoxMonitor");
        QVERIFY(chooser->isVisible());
        QCOMPARE(chooser->count(), 2);
        QCOMPARE(table()->rowCount(), 2);
        chooser->setCurrentIndex(1);
        QCOMPARE(table()->rowCount(), 3);
        QCOMPARE(table()->currentRow(), 1);
        QTRY_COMPARE(label()->text(), infoText(M640));

        clickCell(2, 0);
        window->setRevertDelay(60000);
        whenBoxOpens([this](QMessageBox *box) {
            QCOMPARE(fake->outputCurrent("EXT1"), M1024);
            box->button(QMessageBox::Cancel)->click();
        });
        window->apply();
        QCOMPARE(fake->outputCurrent("EXT1"), M640);
        QCOMPARE(fake->outputCurrent("FAKE0"), M1024);
        for (const ModeChange &change : fake->lastChanges())
            QCOMPARE(QString::fromStdString(change.output), QString("EXT1"));

        clickCell(1, 0);
        QTest::mouseClick(lockButton(), Qt::LeftButton);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(store->value("Monitors/AAA-0001-7/Locked").toBool(), true);
        QCOMPARE(store->value("Monitors/AAA-0001-7/PelsWidth").toInt(), 640);
        QCOMPARE(held.last().at(0).toString(), QString("EXT1 640x480 60 Hz"));
        // The primary's own lock is untouched by it.
        chooser->setCurrentIndex(0);
        QCOMPARE(lockButton()->text(), QString("锁定"));
        QVERIFY(table()->isEnabled());
        chooser->setCurrentIndex(1);
        QCOMPARE(lockButton()->text(), QString("已锁定"));

        // Held and let go from outside (the command line): the window, tray and store follow,
        // and only the mode on screen is held.
        QCOMPARE(window->monitorOn("EXT1"), 1);
        QCOMPARE(window->monitorOn("NONE"), -1);
        window->releaseMonitor(1);
        QCOMPARE(lockButton()->text(), QString("锁定"));
        QCOMPARE(store->value("Monitors/AAA-0001-7/Locked").toBool(), false);
        QCOMPARE(held.last().at(0).toString(), QString());
        QVERIFY(!window->holdMonitor(1, M800));
        QVERIFY(window->holdMonitor(1, M640));
        QCOMPARE(lockButton()->text(), QString("已锁定"));
        QVERIFY(chooser->itemText(1).contains("640x480"));
        QSignalSpy started(window.get(), &MainWindow::startDeamon);
        QVERIFY(window->holdMonitor(0, M1024));
        QCOMPARE(started.count(), 1);
        QCOMPARE(store->value("DisplaySettings/PelsWidth").toInt(), 1024);
        QCOMPARE(held.last().at(0).toString(), QString("FAKE0 1024x768 60 Hz, EXT1 640x480 60 Hz"));

        // Two monitors on: their arrangement can be held as it is, and the window says so.
        auto *arrange = window->findChild<QAction *>("actionHoldArrangement");
        QSignalSpy arranged(window.get(), &MainWindow::arrangementChanged);
        window->announceHeld();
        QVERIFY(arrange->isVisible() && !arrange->isChecked());
        const int applies = fake->applies();
        arrange->trigger();
        QCOMPARE(fake->applies(), applies); // nothing is switched: no trial needed
        QVERIFY(arrange->isChecked());
        QCOMPARE(arranged.last(), QVariantList({true, true}));
        QVERIFY(held.last().at(0).toString().endsWith(", 已保持 2 台显示器的排列"));
        QVERIFY(chooser->itemText(1).endsWith("（排列已保持）"));
        const auto arrangedMode = [this](const QString &connector) {
            for (const Arrangement::Monitor &m : HoldKeeper(*store).heldArrangements().value(0).monitors) {
                if (m.connector == connector)
                    return m.mode;
            }
            return DisplayMode();
        };
        QCOMPARE(arrangedMode("EXT1"), M640);
        // A mode locked inside it becomes its mode there: one monitor, one mode.
        fake->setOutputCurrent("EXT1", M800);
        QVERIFY(window->holdMonitor(1, M800));
        QCOMPARE(arrangedMode("EXT1"), M800);
        // A trial inside it: the arrangement steps back while the box is open (else the lock
        // thread would undo the trial), and holds the kept mode after.
        QVERIFY(window->releaseMonitor(1));
        chooser->setCurrentIndex(1);
        clickCell(2, 0);
        // The lock thread is told, and the store keeps the hold should the program die meanwhile.
        QSignalSpy began(window->holdKeeper(), &HoldKeeper::trialBegan);
        QSignalSpy ended(window->holdKeeper(), &HoldKeeper::trialEnded);
        bool aside = false;
        whenBoxOpens([&](QMessageBox *box) {
            aside = began.count() == 1 && began.last().at(0).toString() == QLatin1String("AAA-0001-7")
                && ended.isEmpty() && HoldKeeper(*store).heldArrangements().size() == 1;
            box->button(QMessageBox::Ok)->click();
        });
        window->apply();
        QVERIFY(aside);
        QCOMPARE(ended.count(), 1);
        QCOMPARE(fake->outputCurrent("EXT1"), M1024);
        QCOMPARE(arrangedMode("EXT1"), M1024);
        // Another set of monitors (EXT1 off): nothing to offer; the arrangement stays stored.
        fake->setOutputOff("EXT1");
        window->announceHeld();
        QVERIFY(!arrange->isVisible());
        QCOMPARE(arranged.last(), QVariantList({false, false}));
        QCOMPARE(HoldKeeper(*store).heldArrangements().size(), 1);
        window.reset();
    }

    void oneMonitorOneHold()
    {
        // The primary now was another monitor in an earlier run, and locked then: its lock is the
        // primary's now, shown, and Unlock ends it; nothing holds it at a second mode.
        auto backend = std::make_unique<FakeDisplayBackend>(QList<DisplayMode>{M1024, M800}, 0);
        backend->setOutputIdentity("FAKE0", "AAA-0001-1");
        fake = backend.get();
        MessageCapture quiet;
        catalogue = std::make_unique<DisplaySettings>(std::move(backend));
        MonitorSettings::store(*store, catalogue->monitor(), M800, true);
        window = std::make_unique<MainWindow>();
        window->setDisplaySettings(catalogue.get());
        window->setSettings(store.get());
        window->initTable();
        QSignalSpy started(window.get(), &MainWindow::startDeamon);
        window->adoptStoredPrimaryLock();
        QCOMPARE(started.count(), 1);
        QCOMPARE(lockButton()->text(), QString("已锁定"));
        QCOMPARE(store->value("DisplaySettings/PelsWidth").toInt(), 800);
        QCOMPARE(store->value("Monitors/AAA-0001-1/Locked").toBool(), false);
        QSignalSpy stopped(window.get(), &MainWindow::stopDeamon);
        QTest::mouseClick(lockButton(), Qt::LeftButton);
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(lockButton()->text(), QString("锁定"));
        QCOMPARE(store->value("Monitors/AAA-0001-1/Locked").toBool(), false);
        window.reset();
    }

    void lockNeedsTheModeInUse()
    {
        // No row is the mode in use: Lock would hold a mode nobody can see.
        open({}, -1);
        QCOMPARE(table()->rowCount(), 0);
        QCOMPARE(table()->currentRow(), -1);
        QVERIFY(!lockButton()->isEnabled());
        QSignalSpy started(window.get(), &MainWindow::startDeamon);
        QTest::mouseClick(lockButton(), Qt::LeftButton);
        QCOMPARE(started.count(), 0);
        QCOMPARE(lockButton()->text(), QString("锁定"));

        // The background start holds what is stored instead, when that is a mode at all.
        MessageCapture log;
        for (const DisplayMode &stored : {DisplayMode{0, 0, 0, 0}, M1024}) {
            store->beginGroup(SettingsKeys::DisplayGroup);
            store->setValue(SettingsKeys::PelsWidth, stored.PelsWidth);
            store->setValue(SettingsKeys::PelsHeight, stored.PelsHeight);
            store->setValue(SettingsKeys::BitsPerPel, stored.BitsPerPel);
            store->setValue(SettingsKeys::DisplayFrequency, stored.DisplayFrequency);
            store->endGroup();
            window->deamonRun();
            QTest::qWait(20);
        }
        QCOMPARE(log.matching("lock:").size(), 1);
        QVERIFY(!window->statusBar()->currentMessage().isEmpty());
        QCOMPARE(started.count(), 1);
        QCOMPARE(lockButton()->text(), QString("已锁定"));
        QCOMPARE(fake->applies(), 0);
    }

    void modeInUseWithoutEntry()
    {
        open({M1280, M1024, M800}, -1);
        QCOMPARE(table()->currentRow(), -1);
        QVERIFY(!lockButton()->isEnabled());
        QVERIFY(!applyButton()->isEnabled());
        QTRY_COMPARE(label()->text(), infoText(Unlisted));

        // Any row is "another" row, and Cancel brings back the mode in use before, by its
        // values: the output lists it now, the catalogue does not.
        fake->setModes({M1280, M1024, M800, Unlisted});
        clickCell(1, 0);
        QVERIFY(applyButton()->isEnabled());
        window->setRevertDelay(60000);
        whenBoxOpens([this](QMessageBox *box) {
            QCOMPARE(fake->current(), M1024);
            box->button(QMessageBox::Cancel)->click();
        });
        window->apply();
        QCOMPARE(fake->lastApplied(), Unlisted);
        QCOMPARE(fake->current(), Unlisted);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
