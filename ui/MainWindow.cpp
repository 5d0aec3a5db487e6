#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "Arrangement.h"
#include "DisplaySettings.h"
#include "HoldKeeper.h"
#include "MonitorSettings.h"
#include "SettingsKeys.h"

#include <QDebug>
#include <QComboBox>
#include <QEvent>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTimer>

#include <algorithm>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    // The four columns share the table's width. No stretchLastSection on top: it keeps the
    // last column at its default 100 px, so with a vertical scroll bar the columns overflow.
    QHeaderView *header = ui->tableWidgetSettings->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Stretch);

    connect(ui->tableWidgetSettings->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &MainWindow::followCurrentRow);
    connect(ui->comboBoxMonitor, &QComboBox::currentIndexChanged, this, &MainWindow::chooseMonitor);
    connect(ui->actionAbout, &QAction::triggered, this, &MainWindow::about);
    connect(ui->actionAutoRun, &QAction::toggled, this, &MainWindow::autoRun);
    connect(ui->actionHoldArrangement, &QAction::triggered, this, &MainWindow::holdArrangement);

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
    monitors.first().catalogue = ds;
}

void MainWindow::addMonitor(DisplaySettings *ds)
{
    Monitor monitor;
    monitor.catalogue = ds;
    monitor.key = MonitorSettings::keyFor(ds->monitor());
    monitors.append(monitor);
    // One that comes later (held from the command line) joins the chooser at once.
    if (ui->comboBoxMonitor->count() > 0)
        fillChooser();
}

int MainWindow::monitorOn(const QString &connector) const
{
    const std::vector<DisplayOutput> outputs = monitors.first().catalogue->outputs();
    for (int i = 0; i < monitors.size(); ++i) {
        const DisplayOutput *o = monitors.at(i).catalogue->find(outputs);
        if (o && QString::fromStdString(o->name) == connector)
            return i;
    }
    return -1;
}

bool MainWindow::holdMonitor(int index, const DisplayMode &mode)
{
    Monitor &monitor = monitors[index];
    if (monitor.catalogue->currentMode() != mode)
        return false;
    monitor.held = mode;
    setLocked(monitor, true);
    return true;
}

bool MainWindow::releaseMonitor(int index)
{
    if (!monitors.at(index).locked)
        return false;
    setLocked(monitors[index], false);
    return true;
}

int MainWindow::monitorWithIdentity(const QString &identity) const
{
    for (int i = 0; i < monitors.size(); ++i) {
        const std::string &own = monitors.at(i).catalogue->monitor().identity;
        if (!own.empty() && QString::fromStdString(own) == identity)
            return i;
    }
    return -1;
}

void MainWindow::setSettings(QSettings *s)
{
    settings = s;
    keeper = std::make_unique<HoldKeeper>(*settings);
    // Whoever holds or lets go (this window, velmoractl through the Controler), the window
    // shows what the keeper holds.
    connect(keeper.get(), &HoldKeeper::changed, this, &MainWindow::followHolds);
    connect(keeper.get(), &HoldKeeper::primaryTaken, this, &MainWindow::startDeamon);
    connect(keeper.get(), &HoldKeeper::primaryLetGo, this, &MainWindow::stopDeamon);
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
    QTableWidget *table = ui->tableWidgetSettings;
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The other monitors' locks outlive the program; the primary's is taken anew (-d).
    readHolds();
    fillChooser();
    fillTable();
    if (!shown()->supported())
        statusBar()->showMessage(tr("此桌面不支持更改显示模式"));
    announceHeld();
}

void MainWindow::readHolds()
{
    if (!keeper)
        return;
    for (Monitor &monitor : monitors) {
        if (monitor.key.isEmpty()) {
            monitor.locked = keeper->primaryHeld();
            monitor.held = monitor.locked ? keeper->primaryMode() : monitor.held;
        } else {
            DisplayMode mode;
            monitor.locked = keeper->storedHold(monitor.catalogue->monitor(), &mode);
            monitor.held = monitor.locked ? mode : monitor.held;
        }
    }
}

void MainWindow::followHolds()
{
    readHolds();
    showLockState();
    announceHeld();
}

void MainWindow::fillChooser()
{
    QSignalBlocker quiet(ui->comboBoxMonitor);
    ui->comboBoxMonitor->clear();
    for (const Monitor &monitor : std::as_const(monitors))
        ui->comboBoxMonitor->addItem(monitorText(monitor));
    ui->comboBoxMonitor->setCurrentIndex(chosen);
    // With one monitor the window is as it always was.
    ui->comboBoxMonitor->setVisible(monitors.size() > 1);
}

QString MainWindow::monitorText(const Monitor &monitor) const
{
    const DisplayOutput &output = monitor.catalogue->monitor();
    QString text = QString::fromStdString(output.name);
    if (!output.label.empty())
        text += QLatin1Char(' ') + QString::fromStdString(output.label);
    if (monitor.key.isEmpty())
        text += QLatin1Char(' ') + tr("（主显示器）");
    if (monitor.locked)
        text += QLatin1Char(' ') + tr("锁定于 %1x%2 %3 Hz").arg(monitor.held.PelsWidth).arg(monitor.held.PelsHeight)
                                       .arg(monitor.held.DisplayFrequency);
    if (arranged.contains(QString::fromStdString(output.name)))
        text += QLatin1Char(' ') + tr("（排列已保持）");
    return text;
}

void MainWindow::fillTable()
{
    const int n = shown()->count();
    QTableWidget *table = ui->tableWidgetSettings;
    table->clearSelection();
    table->setRowCount(n);
    // Row i is mode number i: rows are handed to the catalogue unchanged.
    for (int i = 0; i < n; ++i) {
        const int values[4] = {shown()->pelsWidth(i), shown()->pelsHeight(i), shown()->bitsPerPel(i),
                               shown()->displayFrequency(i)};
        for (int column = 0; column < 4; ++column)
            table->setItem(i, column, new QTableWidgetItem(QString::number(values[column], 10)));
    }
    // -1 (the mode in use is not listed) leaves no row current: no change of row to follow.
    table->setCurrentCell(shown()->currentIndex(), 0);
    showLockState();
}

void MainWindow::chooseMonitor(int index)
{
    if (index < 0 || index >= monitors.size() || index == chosen)
        return;
    chosen = index;
    fillTable();
    updateInfo();
}

void MainWindow::showLockState()
{
    const bool locked = shownMonitor().locked;
    ui->pushButtonLock->setChecked(locked);
    ui->pushButtonLock->setText(locked ? tr("已锁定") : tr("锁定"));
    ui->tableWidgetSettings->setEnabled(!locked);
    followCurrentRow();
}

bool MainWindow::arrangementHeld() const
{
    return !arranged.isEmpty();
}

void MainWindow::holdArrangement(bool hold)
{
    const std::vector<DisplayOutput> outputs = monitors.first().catalogue->outputs();
    if (hold && keeper->holdArrangement(outputs)) {
        qDebug().noquote() << QStringLiteral("hold: the arrangement of %1").arg(Arrangement::of(outputs).text());
    } else if (hold) {
        statusBar()->showMessage(tr("未保持排列：需要两台以上正在使用的显示器"));
    } else if (keeper->releaseArrangement(outputs)) {
        qDebug("hold: the arrangement let go");
    }
    announceHeld();
}

void MainWindow::announceHeld()
{
    // What is on now decides whether there is an arrangement to offer and whether it is held.
    const std::vector<DisplayOutput> outputs = monitors.first().catalogue->outputs();
    const Arrangement arrangement = keeper ? keeper->heldArrangement(outputs) : Arrangement();
    arranged.clear();
    for (const Arrangement::Monitor &m : arrangement.monitors)
        arranged << m.connector;
    arrangementOffered = !Arrangement::setKey(outputs).isEmpty();
    ui->actionHoldArrangement->setVisible(arrangementOffered);
    ui->actionHoldArrangement->setChecked(!arranged.isEmpty());
    emit arrangementChanged(arrangementOffered, !arranged.isEmpty());

    QStringList held;
    for (const Monitor &monitor : std::as_const(monitors)) {
        if (monitor.locked)
            held << QStringLiteral("%1 %2x%3 %4 Hz")
                        .arg(QString::fromStdString(monitor.catalogue->monitor().name))
                        .arg(monitor.held.PelsWidth)
                        .arg(monitor.held.PelsHeight)
                        .arg(monitor.held.DisplayFrequency);
    }
    if (!arranged.isEmpty())
        held << tr("已保持 %1 台显示器的排列").arg(arranged.size());
    emit heldChanged(held.join(QStringLiteral(", ")));
    QSignalBlocker quiet(ui->comboBoxMonitor);
    for (int i = 0; i < monitors.size() && i < ui->comboBoxMonitor->count(); ++i)
        ui->comboBoxMonitor->setItemText(i, monitorText(monitors.at(i)));
}

void MainWindow::updateInfo()
{
    // One read for all four values, so they always describe one mode.
    const DisplayMode now = shown()->currentMode();
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
    const int row = ui->tableWidgetSettings->currentRow();
    HoldKeeper::TrialSteps steps;
    steps.applied = [row] { qDebug("%d", row); };
    steps.refused = [this] { warn(tr("无法应用该显示设置")); };
    steps.keep = [this] { return confirmKeep(); };
    // From the switch until the answer: the box runs the event loop, and a request from the
    // command line must not hold the mode under trial meanwhile.
    m_trialOpen = true;
    DisplayMode previous;
    const HoldKeeper::TrialOutcome outcome = keeper->tryMode(*shown(), row, steps, &previous);
    m_trialOpen = false;
    if (outcome == HoldKeeper::TrialOutcome::NotActive) {
        warn(tr("无法应用该显示设置"));
    } else if (outcome == HoldKeeper::TrialOutcome::NotReverted) {
        qDebug().noquote() << QStringLiteral("trial: the display did not go back to %1x%2 %3 bpp %4 Hz")
                                  .arg(previous.PelsWidth)
                                  .arg(previous.PelsHeight)
                                  .arg(previous.BitsPerPel)
                                  .arg(previous.DisplayFrequency);
        warn(tr("无法恢复原来的显示设置"));
    }
    followCurrentRow();
    QTimer::singleShot(0, this, &MainWindow::updateInfo);
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

void MainWindow::warn(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, tr("显示设置"), text, QMessageBox::Ok);
    box.setAttribute(Qt::WA_QuitOnClose, false);
    box.exec();
}

void MainWindow::lock(bool clicked)
{
    Monitor &monitor = shownMonitor();
    const int row = ui->tableWidgetSettings->currentRow();
    if (clicked && row < 0) {
        lockStored();
        return;
    }
    if (clicked)
        monitor.held = rowMode(row);
    setLocked(monitor, clicked);
}

void MainWindow::setLocked(Monitor &monitor, bool locked)
{
    // The keeper's announcement shows it (followHolds()); for the primary, stored and synced
    // before the lock thread is started, which reads the mode then.
    if (monitor.key.isEmpty() && locked)
        keeper->holdPrimary(monitor.catalogue->monitor(), monitor.held);
    else if (monitor.key.isEmpty())
        keeper->releasePrimary();
    else if (locked)
        keeper->holdMonitor(monitor.catalogue->monitor(), monitor.held);
    else
        keeper->releaseMonitor(monitor.catalogue->monitor());
}

void MainWindow::lockStored()
{
    // Only the background start gets here: Lock is disabled while no row is the mode in use.
    Monitor &monitor = shownMonitor();
    bool usable = false;
    const DisplayMode stored =
        monitor.key.isEmpty()
        ? MonitorSettings::readMode(*settings, SettingsKeys::DisplayGroup, shown()->currentMode(), &usable)
        : MonitorSettings::readMode(*settings, MonitorSettings::groupFor(monitor.key), DisplayMode(), &usable);
    if (!usable) {
        qDebug().noquote() << QStringLiteral("lock: no row is the mode in use and the stored mode %1 x %2, %3 bpp, %4 Hz is none: nothing is held")
                                  .arg(stored.PelsWidth)
                                  .arg(stored.PelsHeight)
                                  .arg(stored.BitsPerPel)
                                  .arg(stored.DisplayFrequency);
        statusBar()->showMessage(tr("未锁定：没有可保持的显示模式"));
        showLockState();
        return;
    }
    monitor.held = stored;
    setLocked(monitor, true);
}

void MainWindow::showAutoRun(bool inForce)
{
    QSignalBlocker quiet(ui->actionAutoRun);
    ui->actionAutoRun->setChecked(inForce);
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
    showButtons(shown()->currentMode());
}

void MainWindow::showButtons(const DisplayMode &inUse)
{
    // Locked, only Unlock is offered. Only the mode on screen can be locked: with no row, or
    // another one, Lock would hold a mode the user cannot see.
    const bool locked = shownMonitor().locked;
    const int row = ui->tableWidgetSettings->currentRow();
    const bool inUseRow = row >= 0 && rowMode(row) == inUse;
    ui->pushButtonApply->setEnabled(!locked && row >= 0 && !inUseRow);
    ui->pushButtonLock->setEnabled(locked || inUseRow);
}

DisplayMode MainWindow::rowMode(int row) const
{
    // Row i is mode number i.
    return {shown()->pelsWidth(row), shown()->pelsHeight(row), shown()->bitsPerPel(row),
            shown()->displayFrequency(row)};
}

void MainWindow::showOrHide()
{
    setVisible(!isVisible());
}

void MainWindow::adoptStoredPrimaryLock()
{
    Monitor &primary = monitors.first();
    if (!settings || primary.locked)
        return;
    const QString key = MonitorSettings::keyFor(primary.catalogue->monitor());
    for (const MonitorSettings::Stored &s : MonitorSettings::monitors(*settings)) {
        if (s.key == key && s.locked && s.usable && !primary.catalogue->monitor().name.empty()) {
            primary.held = s.mode;
            setLocked(primary, true);
        }
    }
}

void MainWindow::deamonRun()
{
    // As if the user pressed Lock; with no row of the mode in use, the stored mode is held.
    QTimer::singleShot(0, this, [this] {
        if (shownMonitor().locked)
            return;
        if (ui->pushButtonLock->isEnabled())
            ui->pushButtonLock->click();
        else
            lockStored();
    });
}

void MainWindow::fitToTexts()
{
    // Five digits' width shows every value (the style's minimum, 58 px on Windows, would push
    // four columns past a narrow window); wider when a title needs it in this language and
    // font, for none may be clipped.
    QTableWidget *table = ui->tableWidgetSettings;
    QHeaderView *header = table->horizontalHeader();
    int section = header->fontMetrics().horizontalAdvance(QStringLiteral("00000"));
    for (int column = 0; column < header->count(); ++column)
        section = std::max(section, header->sectionSizeHint(column));
    header->setMinimumSectionSize(section);
    // Room for every column beside a vertical scroll bar, which most mode lists need.
    table->setMinimumWidth(header->count() * section + table->verticalHeader()->sizeHint().width()
                           + table->verticalScrollBar()->sizeHint().width() + 2 * table->frameWidth());
    // The label has its text by now: the window takes what the layout needs, never less than
    // its designed size.
    centralWidget()->layout()->activate();
    setMinimumSize(minimumSize().expandedTo(minimumSizeHint()));
    resize(size().expandedTo(minimumSize()));
}

void MainWindow::showEvent(QShowEvent *event)
{
    // Up to date the moment it appears, then refreshed while it stays.
    updateInfo();
    fitToTexts();
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
