// The keep-or-revert trial of the main window on a real X server (Xorg, dummy driver): the
// window itself is offscreen, the modes are the server's, checked from outside with xrandr.
#include "DisplaySettings.h"
#include "MainWindow.h"
#include "SettingsKeys.h"
#include "TestSupport.h"
#include "X11DisplayBackend.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
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
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QTimer> boxWatch;
    QStringList boxes;

    QTableWidget *table() const { return window->findChild<QTableWidget *>("tableWidgetSettings"); }
    QPushButton *applyButton() const { return window->findChild<QPushButton *>("pushButtonApply"); }
    QPushButton *lockButton() const { return window->findChild<QPushButton *>("pushButtonLock"); }

    void open()
    {
        MessageCapture quiet;
        catalogue = std::make_unique<DisplaySettings>(std::make_unique<X11DisplayBackend>());
        window = std::make_unique<MainWindow>();
        window->setDisplaySettings(catalogue.get());
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
    void answerBoxes(QMessageBox::StandardButton button)
    {
        boxWatch = std::make_unique<QTimer>();
        boxWatch->setInterval(5);
        connect(boxWatch.get(), &QTimer::timeout, this, [this, button] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
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
        catalogue.reset();
        store.reset();
        config.reset();
        TestXServer::resetOutputs(initialMode);
        for (const char *name : {"1000x700_C", "1112x834_D"}) {
            TestXServer::xrandr({"--delmode", output, name});
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
