// The texts a user sees in the language the locale asks for. CTest runs this under several
// LANG values; VELMORA_EXPECT says which texts must show: "en", "zh" (the Chinese source texts
// with Qt's Chinese buttons; "zh-hant": Qt's Traditional Chinese ones) or "source" (the Chinese
// source texts, Qt's English buttons).
#include "DisplaySettings.h"
#include "FakeDisplayBackend.h"
#include "MainWindow.h"
#include "TestSupport.h"
#include "Translations.h"
#include "Tray.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

namespace {
struct Texts
{
    QStringList headers, menus, actions, tray;
    QString apply, lock, locked, info, boxTitle, boxText, ok, cancel, aboutTitle;
};

// qt: Qt's buttons in "en", Simplified ("hans") or Traditional ("hant") Chinese.
Texts chinese(const QString &qt)
{
    const bool hans = qt == "hans", hant = qt == "hant";
    return {{"长", "宽", "颜色位数", "刷新率"},
            {"设置", "帮助"},
            {"开机后台运行", "保持当前排列", "关于"},
            {"显示/隐藏", "保持当前排列", "退出"},
            "应用", "锁定", "已锁定",
            "当前屏幕设置：<br />分辨率 1024x768<br />颜色位数 32<br />刷新率 60",
            "显示设置", "是否保留这些设置？15秒后恢复原设置",
            hans ? "确定" : hant ? "確定" : "OK", hans || hant ? "取消" : "Cancel", "关于"};
}

Texts english()
{
    return {{"Width", "Height", "Bits", "Hz"},
            {"Settings", "Help"},
            {"Start at log-on in the background", "Hold this arrangement", "About"},
            {"Show/Hide", "Hold this arrangement", "Exit"},
            "Apply", "Lock", "Locked",
            "Current display mode:<br />Resolution 1024x768<br />Colour depth 32 bits<br />Refresh rate 60 Hz",
            "Display Settings", "Keep these display settings? The previous settings come back in 15 seconds.",
            "OK", "Cancel", "About"};
}

QStringList texts(const QList<QAction *> &actions)
{
    QStringList out;
    for (const QAction *a : actions) {
        if (!a->isSeparator())
            out << a->text();
    }
    return out;
}
} // namespace

class TestTranslations : public QObject
{
    Q_OBJECT

    Texts expected;
    QString expectedLanguage;
    std::unique_ptr<TemporaryConfig> config;

    // The box the next action opens: its texts, then it is answered with Cancel.
    void readNextBox(QString *title, QString *text, QStringList *buttons)
    {
        auto *watch = new QTimer(this);
        watch->setInterval(5);
        connect(watch, &QTimer::timeout, this, [=] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            watch->deleteLater();
            watch->stop();
            *title = box->windowTitle();
            *text = box->text();
            for (QAbstractButton *b : box->buttons())
                *buttons << b->text().remove('&');
            QAbstractButton *close = box->button(QMessageBox::Cancel);
            (close ? close : box->buttons().value(0))->click();
            if (box->isVisible())
                box->done(0);
        });
        watch->start();
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QByteArray expect = qgetenv("VELMORA_EXPECT");
        QVERIFY2(expect == "en" || expect == "zh" || expect == "zh-hant" || expect == "source",
                 "VELMORA_EXPECT: en, zh, zh-hant or source");
        expected = expect == "en" ? english()
                                  : chinese(expect == "zh" ? "hans" : expect == "zh-hant" ? "hant" : "en");
        expectedLanguage = expect == "en" ? QStringLiteral("en") : QString();
        // What main() does before any widget exists.
        QCOMPARE(Translations::install(), expectedLanguage);
        config = std::make_unique<TemporaryConfig>();
    }

    void chosenLanguage_data()
    {
        QTest::addColumn<QStringList>("uiLanguages");
        QTest::addColumn<QString>("language");
        QTest::newRow("English") << QStringList{"en-US", "en"} << "en";
        QTest::newRow("British English") << QStringList{"en-GB"} << "en";
        QTest::newRow("Simplified Chinese") << QStringList{"zh-CN", "zh-Hans-CN", "zh"} << "";
        QTest::newRow("Traditional Chinese") << QStringList{"zh-TW"} << "";
        QTest::newRow("C") << QStringList{"C"} << "";
        QTest::newRow("POSIX") << QStringList{"POSIX"} << "";
        QTest::newRow("untranslated: English") << QStringList{"de-DE", "de"} << "en";
        QTest::newRow("untranslated, then Chinese") << QStringList{"fr-FR", "zh-CN"} << "";
        QTest::newRow("untranslated, then English") << QStringList{"fr-FR", "en-GB"} << "en";
        QTest::newRow("Chinese before English") << QStringList{"zh-CN", "en-US"} << "";
        QTest::newRow("nothing") << QStringList{} << "";
    }

    void chosenLanguage()
    {
        QFETCH(QStringList, uiLanguages);
        QFETCH(QString, language);
        QCOMPARE(Translations::choose(uiLanguages), language);
    }

    void windowBoxesAndTray()
    {
        DisplaySettings catalogue(std::make_unique<FakeDisplayBackend>(
            QList<DisplayMode>{{1024, 768, 32, 60}, {800, 600, 32, 60}}, 0));
        QSettings store;
        MainWindow window;
        window.setDisplaySettings(&catalogue);
        window.setSettings(&store);
        window.initTable();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QCOMPARE(window.windowTitle(), QString("Velmora"));
        auto *table = window.findChild<QTableWidget *>("tableWidgetSettings");
        QStringList headers;
        for (int c = 0; c < table->columnCount(); ++c)
            headers << table->horizontalHeaderItem(c)->text();
        QCOMPARE(headers, expected.headers);
        auto *apply = window.findChild<QPushButton *>("pushButtonApply");
        auto *lock = window.findChild<QPushButton *>("pushButtonLock");
        QCOMPARE(apply->text(), expected.apply);
        QCOMPARE(lock->text(), expected.lock);
        QTRY_COMPARE(window.findChild<QLabel *>("labelInfoNow")->text(), expected.info);
        QStringList menus, actions;
        for (QAction *m : window.menuBar()->actions()) {
            menus << m->text();
            actions << texts(m->menu()->actions());
        }
        QCOMPARE(menus, expected.menus);
        QCOMPARE(actions, expected.actions);

        // The trial box (answered: the previous mode comes back).
        QString title, text;
        QStringList buttons;
        const QRect row = table->visualItemRect(table->item(1, 0));
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, row.center());
        readNextBox(&title, &text, &buttons);
        {
            MessageCapture quiet;
            apply->click();
        }
        QCOMPARE(title, expected.boxTitle);
        QCOMPARE(text, expected.boxText);
        buttons.sort();
        QStringList okCancel{expected.ok, expected.cancel};
        okCancel.sort();
        QCOMPARE(buttons, okCancel);

        // Locked and unlocked.
        table->setCurrentCell(0, 0);
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualItemRect(table->item(0, 0)).center());
        QVERIFY(lock->isEnabled());
        lock->click();
        QCOMPARE(lock->text(), expected.locked);
        lock->click();
        QCOMPARE(lock->text(), expected.lock);

        // The About box.
        title.clear();
        text.clear();
        readNextBox(&title, &text, &buttons);
        window.findChild<QAction *>("actionAbout")->trigger();
        QCOMPARE(title, expected.aboutTitle);
        QVERIFY2(text.contains("Velmora</a> is powered by"), qPrintable(text));

        Tray tray;
        QCOMPARE(texts(tray.contextMenu()->actions()), expected.tray);
    }
};

QTEST_MAIN(TestTranslations)
#include "tst_translations.moc"
