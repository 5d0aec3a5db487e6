// The keep-or-revert trial of the main window on a real X server (Xorg, dummy driver): the
// window itself is offscreen, the modes are the server's, checked from outside with xrandr.
#include "DisplaySettings.h"
#include "MainWindow.h"
#include "SettingsKeys.h"
#include "TestSupport.h"
#include "X11DisplayBackend.h"

#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <functional>

class TestX11Trial : public QObject
{
    Q_OBJECT

    QString output = QStringLiteral("DUMMY0");
    QString initialMode;
    std::unique_ptr<TemporaryConfig> config;
    std::unique_ptr<QSettings> store;
    std::unique_ptr<DisplaySettings> catalogue;
    std::unique_ptr<DisplaySettings> second;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QTimer> boxWatch;
    QStringList boxes;

    QTableWidget *table() const { return window->findChild<QTableWidget *>("tableWidgetSettings"); }
    QPushButton *applyButton() const { return window->findChild<QPushButton *>("pushButtonApply"); }
    QPushButton *lockButton() const { return window->findChild<QPushButton *>("pushButtonLock"); }

    // `other`: that output's monitor is offered in the chooser too.
    void open(const std::string &other = std::string())
    {
        MessageCapture quiet;
        catalogue = std::make_unique<DisplaySettings>(std::make_unique<X11DisplayBackend>());
        window = std::make_unique<MainWindow>();
        window->setDisplaySettings(catalogue.get());
        for (const DisplayOutput &o : catalogue->outputs()) {
            if (o.name == other) {
                second = std::make_unique<DisplaySettings>(catalogue->backend(), o);
                window->addMonitor(second.get());
            }
        }
        window->setSettings(store.get());
        window->initTable();
        window->setRevertDelay(60000);
    }

    // The row of the first entry with this size and rate.
    int row(int width, int height, int hz) const
    {
        for (int i = 0; i < catalogue->count(); ++i) {
            if (catalogue->pelsWidth(i) == width && catalogue->pelsHeight(i) == height
                && catalogue->displayFrequency(i) == hz)
                return i;
        }
        return -1;
    }

    // Every box that comes up is noted (title and text) and answered with `button`.
    // `seen` runs first, while the box is open.
    void answerBoxes(QMessageBox::StandardButton button, std::function<void()> seen = nullptr)
    {
        boxWatch = std::make_unique<QTimer>();
        boxWatch->setInterval(5);
        connect(boxWatch.get(), &QTimer::timeout, this, [this, button, seen] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                if (seen)
                    seen();
                boxes << box->windowTitle() + ": " + box->text();
                box->button(button)->click();
            }
        });
        boxWatch->start();
    }

    void newMode(const QStringList &modeline)
    {
        QVERIFY(TestXServer::xrandr(QStringList{"--newmode"} + modeline));
        QVERIFY(TestXServer::xrandr({"--addmode", output, modeline.first()}));
    }

private Q_SLOTS:
    void initTestCase()
    {
        REQUIRE_XSERVER();
        initialMode = TestXServer::outputMode(output);
        QVERIFY(!initialMode.isEmpty());
    }

    void init()
    {
        config = std::make_unique<TemporaryConfig>();
        store = std::make_unique<QSettings>(SettingsKeys::Organization, SettingsKeys::Application);
        boxes.clear();
    }

    void cleanup()
    {
        boxWatch.reset();
        window.reset();
        second.reset();
        catalogue.reset();
        store.reset();
        config.reset();
        TestXServer::xrandr({"--output", "DUMMY1", "--off"});
        TestXServer::resetOutputs(initialMode);
        for (const char *name : {"1000x700_C", "1112x834_D"}) {
            TestXServer::xrandr({"--delmode", output, name});
            TestXServer::xrandr({"--delmode", "DUMMY1", name});
            TestXServer::xrandr({"--rmmode", name});
        }
    }

    void cancelBringsBackAModeWithoutEntry()
    {
        open();
        // A mode the output gained after the catalogue was built, and is in now.
        newMode({"1112x834_D", "65.93", "1112", "1144", "1232", "1272", "834", "837", "841", "864", "-hsync", "+vsync"});
        QVERIFY(TestXServer::xrandr({"--output", output, "--mode", "1112x834_D"}));
        QCOMPARE(catalogue->currentIndex(), -1);

        const int r = row(800, 600, 60);
        QVERIFY(r >= 0);
        table()->setCurrentCell(r, 0);
        QVERIFY(applyButton()->isEnabled());
        answerBoxes(QMessageBox::Cancel);
        window->apply();
        QCOMPARE(boxes, QStringList({"显示设置: 是否保留这些设置？15秒后恢复原设置"}));
        QCOMPARE(TestXServer::outputMode(output), QString("1112x834_D"));
        QVERIFY(!lockButton()->isEnabled());
    }

    void chosenMonitorIsTriedAlone()
    {
        // DUMMY1 beside DUMMY0 with two modes DUMMY0 lacks, in one of them: chosen, its list
        // fills the table, and a trial on it answered Cancel brings DUMMY1 back; DUMMY0 is never
        // touched.
        QVERIFY(TestXServer::xrandr({"--newmode", "1000x700_C", "56.00", "1000", "1032", "1120", "1160", "700",
                                     "703", "707", "805", "-hsync", "+vsync"}));
        QVERIFY(TestXServer::xrandr({"--newmode", "1112x834_D", "65.93", "1112", "1144", "1232", "1272", "834",
                                     "837", "841", "864", "-hsync", "+vsync"}));
        QVERIFY(TestXServer::connectSecondOutput());
        QVERIFY(TestXServer::xrandr({"--addmode", "DUMMY1", "1000x700_C"}));
        QVERIFY(TestXServer::xrandr({"--addmode", "DUMMY1", "1112x834_D"}));
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY1", "--mode", "1112x834_D"}));
        // DUMMY1's modes as xrandr lists them.
        QString text;
        QVERIFY(TestXServer::xrandr({"--verbose"}, &text));
        const QString section = text.section(QRegularExpression("\\nDUMMY1 "), 1).section(QRegularExpression("\\n\\S"), 0, 0);
        const int listed = int(section.count(QRegularExpression("\\n  \\S+ \\(0x")));
        QVERIFY(listed > 2);

        open("DUMMY1");
        QVERIFY(second);
        auto *chooser = window->findChild<QComboBox *>("comboBoxMonitor");
        QCOMPARE(chooser->count(), 2);
        chooser->setCurrentIndex(1);
        const QString bpp = QString::number(catalogue->bitsPerPel(0));
        QStringList rows;
        for (int r = 0; r < table()->rowCount(); ++r) {
            QStringList cells;
            for (int column = 0; column < 4; ++column)
                cells << table()->item(r, column)->text();
            rows << cells.join(' ');
        }
        QCOMPARE(rows.size(), listed);
        QCOMPARE(rows.count("1000 700 " + bpp + " 60"), 1);
        QCOMPARE(table()->currentRow(), rows.indexOf("1112 834 " + bpp + " 60"));
        QVERIFY(table()->currentRow() >= 0);

        table()->setCurrentCell(int(rows.indexOf("1000 700 " + bpp + " 60")), 0);
        QVERIFY(applyButton()->isEnabled());
        QStringList during;
        answerBoxes(QMessageBox::Cancel, [&during, this] {
            during << TestXServer::outputMode(output) << TestXServer::outputMode("DUMMY1");
        });
        MessageCapture log;
        window->apply();
        QCOMPARE(during, QStringList({initialMode, "1000x700_C"}));
        QCOMPARE(TestXServer::outputMode("DUMMY1"), QString("1112x834_D"));
        QCOMPARE(TestXServer::outputMode(output), initialMode);
        QCOMPARE(log.matching("applyDisplaySetting()"),
                 QStringList({"applyDisplaySetting():" + bpp + " 1000 700 60",
                              "applyDisplaySetting():" + bpp + " 1112 834 60"}));
    }

    void refusedTrialIsSaidAndChangesNothing()
    {
        // A mode listed when the catalogue was built, gone from the output since.
        newMode({"1000x700_C", "56.00", "1000", "1032", "1120", "1160", "700", "703", "707", "805", "-hsync", "+vsync"});
        open();
        const int r = row(1000, 700, 60);
        QVERIFY(r >= 0);
        QVERIFY(TestXServer::xrandr({"--delmode", output, "1000x700_C"}));
        const QString before = TestXServer::outputMode(output);

        table()->setCurrentCell(r, 0);
        QVERIFY(applyButton()->isEnabled());
        answerBoxes(QMessageBox::Ok);
        MessageCapture log;
        window->apply();
        QCOMPARE(boxes, QStringList({"显示设置: 无法应用该显示设置"}));
        QCOMPARE(TestXServer::outputMode(output), before);
        QVERIFY(applyButton()->isEnabled());
        QVERIFY(!lockButton()->isEnabled());
        // The values asked for are said, never zeros.
        QCOMPARE(log.matching("applyDisplaySetting()"),
                 QStringList({QString("applyDisplaySetting():%1 1000 700 60").arg(catalogue->bitsPerPel(r))}));
    }
};

int main(int argc, char *argv[])
{
    // The window needs no screen; the display layer talks to the test X server itself.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestX11Trial test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_x11trial.moc"
