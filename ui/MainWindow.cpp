#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "DisplaySettings.h"
#include "SettingsKeys.h"

#include <QDebug>
#include <QEvent>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    // The four columns share the table's width. No stretchLastSection on top: it keeps the
    // last column at its default 100 px, so with a vertical scroll bar the columns overflow.
    QHeaderView *header = ui->tableWidgetSettings->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Stretch);
    // The style's minimum (58 px on Windows) would push four columns past a narrow window;
    // five digits' width still shows every value.
    header->setMinimumSectionSize(header->fontMetrics().horizontalAdvance(QStringLiteral("00000")));

    connect(ui->tableWidgetSettings->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &MainWindow::followCurrentRow);
    connect(ui->actionAbout, &QAction::triggered, this, &MainWindow::about);
    connect(ui->actionAutoRun, &QAction::toggled, this, &MainWindow::autoRun);

    // Every 3 s while the window is on screen; a hidden label costs nothing (see showEvent).
    infoTimer = new QTimer(this);
    infoTimer->setInterval(3000);
    connect(infoTimer, &QTimer::timeout, this, &MainWindow::updateInfo);
    // Fill the label as soon as the event loop runs, not 3 s later.
    QTimer::singleShot(0, this, &MainWindow::updateInfo);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::setDisplaySettings(DisplaySettings *ds)
{
    displaySettings = ds;
}

void MainWindow::setSettings(QSettings *s)
{
    settings = s;
    settings->beginGroup(SettingsKeys::UiGroup);
    // A missing key reads as false.
    const bool autorun = settings->value(SettingsKeys::AutoRun, QVariant()).toBool();
    settings->endGroup();
    // Outside the group: unchecking runs autoRun(false) through toggled(), which opens the
    // group itself and would otherwise write "Ui/Ui/AutoRun".
    ui->actionAutoRun->setChecked(autorun);
}

void MainWindow::initTable()
{
    const int n = displaySettings->count();
    QTableWidget *table = ui->tableWidgetSettings;
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setRowCount(n);
    // Row i is mode number i: rows are handed to the catalogue unchanged.
    for (int i = 0; i < n; ++i) {
        const int values[4] = {displaySettings->pelsWidth(i), displaySettings->pelsHeight(i),
                               displaySettings->bitsPerPel(i), displaySettings->displayFrequency(i)};
        for (int column = 0; column < 4; ++column)
            table->setItem(i, column, new QTableWidgetItem(QString::number(values[column], 10)));
    }
    // -1 (the mode in use is not listed) leaves no row current: no change of row to follow.
    table->setCurrentCell(displaySettings->currentIndex(), 0);
    followCurrentRow();
    if (!displaySettings->supported())
        statusBar()->showMessage(tr("此桌面不支持更改显示模式"));
}

void MainWindow::updateInfo()
{
    // One read for all four values, so they always describe one mode.
    const DisplayMode now = displaySettings->currentMode();
    const QString text = tr("当前屏幕设置：<br />分辨率 %1x%2<br />颜色位数 %3<br />刷新率 %4")
                             .arg(now.PelsWidth)
                             .arg(now.PelsHeight)
                             .arg(now.BitsPerPel)
                             .arg(now.DisplayFrequency);
    ui->labelInfoNow->setText(text);
    // The same read keeps the buttons true when somebody else switched the mode.
    showButtons(now);
}

void MainWindow::apply()
{
    // The way back is remembered by its values: the mode in use may have no entry, and the
    // list may be renumbered while the box is open. Without it there is no way back at all.
    DisplayMode previous;
    if (displaySettings->currentState(&previous) != DisplayBackend::OutputState::Active) {
        warn(tr("无法应用该显示设置"));
        followCurrentRow();
        return;
    }
    const int row = ui->tableWidgetSettings->currentRow();
    const bool applied = displaySettings->applyDisplaySetting(row);
    qDebug("%d", row);

    // A refusal is no proof: a platform that answered too late may switch all the same, even
    // while the refusal is on screen. Whatever left the previous mode gets the box.
    bool left = applied || hasLeft(previous);
    if (!left) {
        warn(tr("无法应用该显示设置"));
        left = hasLeft(previous);
    }
    if (left && !confirmKeep())
        revertTo(previous);
    followCurrentRow();
    QTimer::singleShot(0, this, &MainWindow::updateInfo);
}

bool MainWindow::hasLeft(const DisplayMode &mode) const
{
    DisplayMode now;
    return displaySettings->currentState(&now) != DisplayBackend::OutputState::Active || now != mode;
}

bool MainWindow::confirmKeep()
{
    QMessageBox box(QMessageBox::Warning, tr("显示设置"), tr("是否保留这些设置？15秒后恢复原设置"),
                    QMessageBox::Ok | QMessageBox::Cancel);
    // Answering the box while the main window is hidden (tray) must not end the program.
    box.setAttribute(Qt::WA_QuitOnClose, false);
    // Only a deliberate Ok keeps: Return, or a key still held from the table, must not keep a
    // mode the user may not be able to see. Escape and the close button answer Cancel too.
    box.setDefaultButton(QMessageBox::Cancel);
    box.setEscapeButton(QMessageBox::Cancel);
    // The shot dies with the box, so an answered box is never reverted later. Precise: a
    // coarse timer may fire up to 5 % early, before the 15 s the box promises.
    QTimer::singleShot(m_revertDelay, Qt::PreciseTimer, box.button(QMessageBox::Cancel),
                       &QAbstractButton::click);
    return box.exec() == QMessageBox::Ok;
}

void MainWindow::revertTo(const DisplayMode &previous)
{
    // Judged by reading the mode back, not by the apply's answer, which may be late or wrong.
    for (int attempt = 0; attempt < 2; ++attempt) {
        displaySettings->applyDisplayMode(previous);
        if (!hasLeft(previous))
            return;
    }
    qDebug().noquote() << QStringLiteral("trial: the display did not go back to %1x%2 %3 bpp %4 Hz")
                              .arg(previous.PelsWidth)
                              .arg(previous.PelsHeight)
                              .arg(previous.BitsPerPel)
                              .arg(previous.DisplayFrequency);
    warn(tr("无法恢复原来的显示设置"));
}

void MainWindow::warn(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, tr("显示设置"), text, QMessageBox::Ok);
    box.setAttribute(Qt::WA_QuitOnClose, false);
    box.exec();
}

void MainWindow::lock(bool clicked)
{
    m_locked = clicked;
    if (clicked) {
        // Stored and synced first: the daemon reads the mode when start() arrives.
        saveDisplaySettings();
        emit startDeamon();
        ui->pushButtonLock->setText(tr("已锁定"));
        ui->tableWidgetSettings->setEnabled(false);
    } else {
        emit stopDeamon();
        ui->pushButtonLock->setText(tr("锁定"));
        ui->tableWidgetSettings->setEnabled(true);
    }
    followCurrentRow();
}

void MainWindow::saveDisplaySettings()
{
    using namespace SettingsKeys;
    const int row = ui->tableWidgetSettings->currentRow();
    if (row < 0)
        return;
    const QString keys[4] = {PelsWidth, PelsHeight, BitsPerPel, DisplayFrequency};
    settings->beginGroup(DisplayGroup);
    for (int column = 0; column < 4; ++column) {
        const QTableWidgetItem *item = ui->tableWidgetSettings->item(row, column);
        const int value = item ? item->text().toInt(nullptr, 10) : 0;
        settings->setValue(keys[column], value);
    }
    settings->endGroup();
    settings->sync();
}

void MainWindow::autoRun(bool autorun)
{
    settings->beginGroup(SettingsKeys::UiGroup);
    settings->setValue(SettingsKeys::AutoRun, autorun);
    settings->endGroup();
    emit updateAutoRun();
}

void MainWindow::followCurrentRow()
{
    showButtons(displaySettings->currentMode());
}

void MainWindow::showButtons(const DisplayMode &inUse)
{
    // Locked, only Unlock is offered. With no current row, Lock holds the stored mode.
    const int row = ui->tableWidgetSettings->currentRow();
    const bool other = !m_locked && row >= 0 && rowMode(row) != inUse;
    ui->pushButtonApply->setEnabled(other);
    ui->pushButtonLock->setEnabled(!other);
}

DisplayMode MainWindow::rowMode(int row) const
{
    // Row i is mode number i.
    return {displaySettings->pelsWidth(row), displaySettings->pelsHeight(row), displaySettings->bitsPerPel(row),
            displaySettings->displayFrequency(row)};
}

void MainWindow::showOrHide()
{
    setVisible(!isVisible());
}

void MainWindow::deamonRun()
{
    QTimer::singleShot(0, ui->pushButtonLock, &QAbstractButton::click);
}

void MainWindow::showEvent(QShowEvent *event)
{
    // Up to date the moment it appears, then refreshed while it stays.
    updateInfo();
    infoTimer->start();
    QMainWindow::showEvent(event);
}

void MainWindow::hideEvent(QHideEvent *event)
{
    // In the tray all day: no display reads for a label nobody sees.
    infoTimer->stop();
    QMainWindow::hideEvent(event);
}

void MainWindow::changeEvent(QEvent *event)
{
    // Hidden on the next turn of the event loop, not inside the state change itself.
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized))
        QTimer::singleShot(0, this, &QWidget::hide);
    QMainWindow::changeEvent(event);
}

void MainWindow::about()
{
    const QString text = tr("<h1>Velmora</h1><h2>v%1</h2>"
                            "<a href=\"%2\">Velmora</a> is powered by <a href=\"%3\">Orvanne</a>")
                             .arg(QStringLiteral(VELMORA_VERSION), QLatin1String(HomePage),
                                  QLatin1String(AuthorPage));
    // QMessageBox::about() itself, but with a box that may close while the window is hidden.
    QMessageBox box(QMessageBox::Information, tr("关于"), text, QMessageBox::NoButton);
    box.setAttribute(Qt::WA_QuitOnClose, false);
    const QIcon icon = box.windowIcon();
    box.setIconPixmap(icon.pixmap(icon.actualSize(QSize(64, 64))));
    box.exec();
}
