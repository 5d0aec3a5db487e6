// The tray icon: its menu, the deferred double click, and the compiled-in image.
#include "TestSupport.h"
#include "Tray.h"

#include <QAction>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

class TestTray : public QObject
{
    Q_OBJECT

    std::unique_ptr<TemporaryConfig> config;

private Q_SLOTS:
    void init() { config = std::make_unique<TemporaryConfig>(); }
    void cleanup() { config.reset(); }

    void compiledInImage()
    {
        const QImage image(QStringLiteral(":/icon.png"));
        QCOMPARE(image.size(), QSize(256, 256));
        QVERIFY(image.hasAlphaChannel());
        // Transparent around the picture, opaque dark screen in the middle.
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(image.pixel(255, 255)), 0);
        const QRgb screen = image.pixel(128, 110);
        QCOMPARE(qAlpha(screen), 255);
        QVERIFY(qGray(screen) < 96);

        Tray tray;
        QVERIFY(!tray.icon().isNull());
        QCOMPARE(tray.icon().pixmap(QSize(256, 256)).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
                 image.convertToFormat(QImage::Format_ARGB32_Premultiplied));
        QVERIFY(tray.toolTip().isEmpty());
        QVERIFY(!tray.isVisible());
    }

    void menuEntries()
    {
        Tray tray;
        QMenu *menu = tray.contextMenu();
        QVERIFY(menu);
        QVERIFY(!menu->parent());
        // With one monitor the menu is the two entries it always had.
        QList<QAction *> actions;
        for (QAction *a : menu->actions()) {
            if (a->isVisible())
                actions << a;
        }
        QCOMPARE(actions.size(), 2);
        QCOMPARE(actions[0]->text(), QString("显示/隐藏"));
        QCOMPARE(actions[1]->text(), QString("退出"));
        for (QAction *a : actions) {
            QVERIFY(!a->isSeparator());
            QVERIFY(!a->isCheckable());
            QVERIFY(a->icon().isNull());
        }

        QSignalSpy showOrHide(&tray, &Tray::showOrHideClicked);
        QSignalSpy exit(&tray, &Tray::exitClicked);
        // The menu entry asks at once, within triggered().
        actions[0]->trigger();
        QCOMPARE(showOrHide.count(), 1);
        QCOMPARE(exit.count(), 0);
        actions[1]->trigger();
        QCOMPARE(exit.count(), 1);
        QCOMPARE(showOrHide.count(), 1);

        // Two monitors or more: "Hold this arrangement" between them, checked while held.
        QSignalSpy hold(&tray, &Tray::holdArrangementClicked);
        tray.showArrangement(true, false);
        QAction *arrangement = menu->actions().at(1);
        QVERIFY(arrangement->isVisible() && arrangement->isCheckable() && !arrangement->isChecked());
        QCOMPARE(arrangement->text(), QString("保持当前排列"));
        arrangement->trigger();
        QCOMPARE(hold.count(), 1);
        QCOMPARE(hold.first().first().toBool(), true);
        tray.showArrangement(true, true);
        QVERIFY(arrangement->isChecked());
        tray.showArrangement(false, false);
        QVERIFY(!arrangement->isVisible());
    }

    void activation()
    {
        Tray tray;
        QSignalSpy showOrHide(&tray, &Tray::showOrHideClicked);
        QSignalSpy exit(&tray, &Tray::exitClicked);

        emit tray.activated(QSystemTrayIcon::DoubleClick);
        // Deferred: nothing inside the activation itself.
        QCOMPARE(showOrHide.count(), 0);
        QTRY_COMPARE(showOrHide.count(), 1);
        QTest::qWait(50);
        QCOMPARE(showOrHide.count(), 1);

        for (auto reason : {QSystemTrayIcon::Unknown, QSystemTrayIcon::Context, QSystemTrayIcon::Trigger,
                            QSystemTrayIcon::MiddleClick})
            emit tray.activated(reason);
        QTest::qWait(50);
        QCOMPARE(showOrHide.count(), 1);
        QCOMPARE(exit.count(), 0);
    }
};

QTEST_MAIN(TestTray)
#include "tst_tray.moc"
