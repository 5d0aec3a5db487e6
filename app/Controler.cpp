#include "Controler.h"

#include "AllowedPrograms.h"
#include "AppPlatform.h"
#include "Arrangement.h"
#include "AutoRunStore.h"
#include "ControlProtocol.h"
#include "Deamon.h"
#include "DisplaySettings.h"
#include "HoldKeeper.h"
#include "MainWindow.h"
#include "MonitorSettings.h"
#include "SettingsKeys.h"
#include "ThreadSanitizer.h"
#include "Tray.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScreen>
#include <QStatusBar>
#include <QSettings>
#include <QThread>
#include <QTimer>

#include <algorithm>

Controler::Controler(QObject *parent)
    : QObject(parent)
{
    // Sources and UI texts are UTF-8 and Qt 6 decodes them so: there is no codec to install.
    initSettings();
    updateAutoRun();
    initDeamon();
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, &Controler::shutdown);
}

Controler::~Controler()
{
    shutdown();
    delete tray;
    delete mainWindow;
    delete deamon;
    delete deamonSettings;
    delete settings;
    qDeleteAll(otherMonitors);
    delete displaySettings;
}

void Controler::initSettings()
{
    using namespace SettingsKeys;
    displaySettings = new DisplaySettings();
    for (const DisplayOutput &output : displaySettings->outputs()) {
        if (output.name != displaySettings->monitor().name && output.state != DisplayOutput::State::Off)
            otherMonitors.append(new DisplaySettings(displaySettings->backend(), output));
    }
    settings = new QSettings(Organization, Application);

    settings->beginGroup(InfoGroup);
    settings->setValue(Version, settings->value(Version, QStringLiteral(VELMORA_VERSION)));
    settings->endGroup();

    settings->beginGroup(UiGroup);
    settings->setValue(AutoRun, settings->value(AutoRun, true));
    settings->setValue(ShowTray, settings->value(ShowTray, true));
    settings->endGroup();

    settings->beginGroup(DeamonGroup);
    settings->setValue(AppPlatform::seededIntervalKey(), settings->value(Interval, DefaultInterval));
    settings->endGroup();

    settings->beginGroup(DisplayGroup);
    settings->setValue(PelsHeight,
                       settings->value(PelsHeight, displaySettings->currentPelsHeight()));
    settings->setValue(PelsWidth, settings->value(PelsWidth, displaySettings->currentPelsWidth()));
    settings->setValue(BitsPerPel,
                       settings->value(BitsPerPel, displaySettings->currentBitsPerPel()));
    settings->setValue(DisplayFrequency,
                       settings->value(DisplayFrequency, displaySettings->currentDisplayFrequency()));
    settings->endGroup();

    settings->sync();
    // The program still works from memory, but the user should know nothing will last.
    if (settings->status() != QSettings::NoError)
        qWarning().noquote() << "cannot write the settings to" << settings->fileName();
}

QString Controler::runCommand()
{
    return runCommand(*AutoRunStore::open());
}

QString Controler::runCommand(const AutoRunStore &store)
{
    // The absolute path of the program file, not argv[0] as typed: a relative path would
    // not resolve from the log-on session's working folder.
    const QString program = QCoreApplication::applicationFilePath();
    if (program.isEmpty())
        return QString();
    return store.command(program, QStringLiteral("-d"));
}

void Controler::updateAutoRun()
{
    using namespace SettingsKeys;
    settings->beginGroup(UiGroup);
    const bool autoRun = settings->value(AutoRun).toBool();
    settings->endGroup();

    std::unique_ptr<AutoRunStore> store = AutoRunStore::open();
    // A program that somebody else could replace is never started at log-on, whatever the
    // setting says; the setting itself stays for when the program is somewhere safe.
    const QString replaceable = autoRun ? store->replaceableAt(QCoreApplication::applicationFilePath()) : QString();
    if (!replaceable.isEmpty())
        refuseAutoRun(replaceable);
    const bool wanted = autoRun && replaceable.isEmpty();
    bool written = true;
    if (wanted) {
        const QString command = runCommand(*store);
        if (!command.isEmpty() && store->value(Application).compare(command) != 0) {
            qDebug("updateAutorun()");
            written = store->setValue(Application, command);
        }
    } else {
        written = store->remove(Application);
    }
    written = store->sync() && written;
    if (!written)
        reportAutoRunFailure(!store->value(Application).isEmpty());
}

void Controler::reportAutoRunFailure(bool inForce)
{
    qDebug().noquote() << QStringLiteral("updateAutorun(): the log-on entry cannot be changed: it is %1")
                              .arg(inForce ? QStringLiteral("still there") : QStringLiteral("not there"));
    m_statusText = tr("无法更改开机启动设置");
    Q_EMIT statusTextChanged(m_statusText);
    // What the menu shows is what is in force, and what is stored with it.
    settings->beginGroup(SettingsKeys::UiGroup);
    settings->setValue(SettingsKeys::AutoRun, inForce);
    settings->endGroup();
    Q_EMIT autoRunInForce(inForce);
}

void Controler::refuseAutoRun(const QString &replaceableAt)
{
    // Said once: the menu entry may be switched on again and again.
    if (replaceableAt == autoRunRefusedAt)
        return;
    autoRunRefusedAt = replaceableAt;
    qDebug().noquote() << QStringLiteral("updateAutorun(): not registered: other users can write %1").arg(replaceableAt);
    m_statusText = tr("未设置开机启动：其他用户可以替换本程序");
    Q_EMIT statusTextChanged(m_statusText);
}

void Controler::initUi(bool background)
{
    mainWindow = new MainWindow();
    mainWindow->setDisplaySettings(displaySettings);
    for (DisplaySettings *other : std::as_const(otherMonitors))
        mainWindow->addMonitor(other);
    // May emit updateAutoRun(); it is connected only below, so start-up updates the
    // log-on entry once.
    mainWindow->setSettings(settings);
    tray = new Tray();
    connect(mainWindow, &MainWindow::heldChanged, tray, &QSystemTrayIcon::setToolTip);
    mainWindow->initTable();
    if (!background)
        mainWindow->setVisible(true);
    // Next to what the window itself may say there (a desktop without mode changes).
    auto showStatus = [window = mainWindow](const QString &text) {
        const QString shown = window->statusBar()->currentMessage();
        if (!text.isEmpty() && !shown.contains(text))
            window->statusBar()->showMessage(shown.isEmpty() ? text : shown + QStringLiteral("  ") + text);
    };
    showStatus(m_statusText);
    connect(this, &Controler::statusTextChanged, mainWindow, showStatus);

    connect(mainWindow->holdKeeper(), &HoldKeeper::primaryTaken, deamon, &Deamon::start);
    connect(mainWindow->holdKeeper(), &HoldKeeper::primaryLetGo, deamon, &Deamon::stop);
    connect(mainWindow, &MainWindow::updateAutoRun, this, &Controler::updateAutoRun);
    connect(this, &Controler::autoRunInForce, mainWindow, &MainWindow::showAutoRun);
    connect(mainWindow->holdKeeper(), &HoldKeeper::changed, deamon, &Deamon::reloadMonitors);
    connect(mainWindow->holdKeeper(), &HoldKeeper::trialBegan, deamon, &Deamon::beginTrial);
    connect(mainWindow->holdKeeper(), &HoldKeeper::trialEnded, deamon, &Deamon::endTrial);
    // The other monitors stored as locked are held from the start, whatever the primary does.
    QMetaObject::invokeMethod(deamon, &Deamon::reloadMonitors, Qt::QueuedConnection);

    tray->setVisible(true);

    connect(tray, &Tray::exitClicked, this, &Controler::quit);
    connect(tray, &Tray::holdArrangementClicked, mainWindow, &MainWindow::holdArrangement);
    connect(mainWindow, &MainWindow::arrangementChanged, tray, &Tray::showArrangement);
    mainWindow->announceHeld();
    // Docked, undocked, a monitor switched on or off: another set, maybe another arrangement.
    if (auto *gui = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        connect(gui, &QGuiApplication::screenAdded, mainWindow, &MainWindow::announceHeld, Qt::QueuedConnection);
        connect(gui, &QGuiApplication::screenRemoved, mainWindow, &MainWindow::announceHeld, Qt::QueuedConnection);
    }
    connect(tray, &Tray::showOrHideClicked, mainWindow, &MainWindow::showOrHide);

    if (background)
        QTimer::singleShot(0, mainWindow, &MainWindow::deamonRun);
    else
        mainWindow->adoptStoredPrimaryLock();
}

QByteArray Controler::answer(const QByteArray &request)
{
    using Verb = ControlProtocol::Verb;
    const ControlProtocol::Request r = ControlProtocol::decode(request);
    if (r.verb == Verb::Invalid)
        return QByteArray();
    if (!mainWindow || !deamon)
        return ControlProtocol::refused(QStringLiteral("Velmora is starting or ending"));
    const bool holds = r.verb == Verb::Hold || r.verb == Verb::HoldArrangement || r.verb == Verb::TrialBegin;
    if (holds && mainWindow->trialOpen())
        return ControlProtocol::refused(QStringLiteral("a trial is open in Velmora's window"));
    switch (r.verb) {
    case Verb::Show:
        showWindow();
        break;
    case Verb::Background:
        break;
    case Verb::Status:
        return ControlProtocol::ok(statusDocument());
    case Verb::Hold:
        return hold(r.monitor, r.mode);
    case Verb::Release:
        return release(r.monitor);
    case Verb::ReleaseAll:
        return releaseAll();
    case Verb::HoldArrangement:
    case Verb::ReleaseArrangement:
        return arrange(r.verb == Verb::HoldArrangement);
    case Verb::TrialBegin:
        return beginTrial(r.monitor, r.msec);
    case Verb::TrialEnd:
        return endTrial(r.monitor);
    case Verb::Allow:
    case Verb::Disallow:
        return allow(r.program, r.verb == Verb::Allow);
    case Verb::Allowed:
        return ControlProtocol::ok(
            QJsonDocument(QJsonArray::fromStringList(AllowedPrograms::read(*settings))).toJson(QJsonDocument::Compact));
    case Verb::Invalid:
        break;
    }
    return ControlProtocol::ok();
}

QByteArray Controler::statusDocument() const
{
    QJsonArray holds;
    for (const Deamon::HoldStatus &s : deamon->status()) {
        holds.append(QJsonObject{
            {"monitor", s.connector},
            {"identity", s.identity},
            {"primary", s.primary},
            {"mode", ControlProtocol::modeJson(s.mode)},
            {"state", s.state},
            {"for", s.steppedAsideFor.isEmpty() ? QJsonValue() : QJsonValue(s.steppedAsideFor)},
            {"lastRestore", s.lastRestore.isValid() ? QJsonValue(s.lastRestore.toString(Qt::ISODate)) : QJsonValue()},
        });
    }
    QJsonArray arrangements;
    for (const Deamon::ArrangementStatus &a : deamon->arrangementStatus()) {
        arrangements.append(QJsonObject{
            {"monitors", QJsonArray::fromStringList(a.connectors)},
            {"state", a.state},
            {"for", a.steppedAsideFor.isEmpty() ? QJsonValue() : QJsonValue(a.steppedAsideFor)},
            {"lastRestore", a.lastRestore.isValid() ? QJsonValue(a.lastRestore.toString(Qt::ISODate)) : QJsonValue()},
        });
    }
    return QJsonDocument(QJsonObject{{"holds", holds}, {"arrangements", arrangements}}).toJson(QJsonDocument::Compact);
}

QByteArray Controler::arrange(bool hold)
{
    mainWindow->announceHeld();
    if (hold == mainWindow->arrangementHeld() && hold)
        return ControlProtocol::ok();
    const std::vector<DisplayOutput> outputs = displaySettings->outputs();
    if (Arrangement::setKey(outputs).isEmpty())
        return ControlProtocol::refused(QStringLiteral("fewer than two monitors are on"));
    if (!hold && !mainWindow->arrangementHeld())
        return ControlProtocol::refused(QStringLiteral("the arrangement of the monitors on now is not held"));
    mainWindow->holdArrangement(hold);
    if (hold != mainWindow->arrangementHeld())
        return ControlProtocol::refused(QStringLiteral("the arrangement cannot be held now"));
    qDebug().noquote() << (hold ? QStringLiteral("control: the arrangement held") : QStringLiteral("control: the arrangement let go"));
    waitForDeamon();
    return ControlProtocol::ok();
}

QByteArray Controler::hold(const QString &connector, const DisplayMode &mode)
{
    int index = mainWindow->monitorOn(connector);
    if (index < 0) {
        // A monitor that came after the start: it joins the window, which holds it.
        for (const DisplayOutput &o : displaySettings->outputs()) {
            if (QString::fromStdString(o.name) == connector && o.state == DisplayOutput::State::Active) {
                otherMonitors.append(new DisplaySettings(displaySettings->backend(), o));
                mainWindow->addMonitor(otherMonitors.last());
                index = mainWindow->monitorOn(connector);
            }
        }
    }
    if (index < 0)
        return ControlProtocol::refused(QStringLiteral("no monitor is on %1").arg(connector));
    const DisplaySettings *monitor = mainWindow->catalogue(index);
    if (monitor->currentMode() != mode)
        return ControlProtocol::refused(QStringLiteral("%1 is not in %2 now").arg(connector, ControlProtocol::modeText(mode)));
    HoldKeeper *keeper = mainWindow->holdKeeper();
    if (monitor == displaySettings)
        keeper->holdPrimary(monitor->monitor(), mode);
    else
        keeper->holdMonitor(monitor->monitor(), mode);
    qDebug().noquote() << QStringLiteral("control: holding %1 at %2").arg(connector, MonitorSettings::text(mode));
    waitForDeamon();
    return ControlProtocol::ok();
}

QByteArray Controler::release(const QString &connector)
{
    // Named by its identity, the monitor is that one wherever it is; by a connector, the one
    // there now. Only when the window has none is a stored hold of a monitor away let go.
    int index = mainWindow->monitorWithIdentity(connector);
    if (index < 0)
        index = mainWindow->monitorOn(connector);
    const bool released = index >= 0 ? releaseMonitor(mainWindow->catalogue(index)) : releaseStored(connector);
    if (!released)
        return ControlProtocol::refused(QStringLiteral("nothing is held on %1").arg(connector));
    qDebug().noquote() << QStringLiteral("control: %1 let go").arg(connector);
    waitForDeamon();
    return ControlProtocol::ok();
}

QByteArray Controler::releaseAll()
{
    mainWindow->holdKeeper()->releasePrimary();
    releaseStored(QString());
    qDebug("control: every monitor let go");
    waitForDeamon();
    return ControlProtocol::ok();
}

bool Controler::releaseMonitor(const DisplaySettings *monitor)
{
    HoldKeeper *keeper = mainWindow->holdKeeper();
    DisplayMode held;
    if (monitor == displaySettings && keeper->primaryHeld()) {
        keeper->releasePrimary();
        return true;
    }
    if (!keeper->storedHold(monitor->monitor(), &held))
        return false;
    keeper->releaseMonitor(monitor->monitor());
    return true;
}

bool Controler::releaseStored(const QString &name)
{
    return mainWindow->holdKeeper()->releaseStored(name) > 0;
}

QByteArray Controler::beginTrial(const QString &connector, int msec)
{
    OutsideTrial &trial = outsideTrials[connector];
    if (!trial.limit) {
        for (const DisplayOutput &o : displaySettings->outputs()) {
            if (QString::fromStdString(o.name) == connector && o.state == DisplayOutput::State::Active)
                trial.key = MonitorSettings::keyFor(o);
        }
        if (trial.key.isEmpty()) {
            outsideTrials.remove(connector);
            return ControlProtocol::refused(QStringLiteral("no monitor is on %1").arg(connector));
        }
        trial.limit = new QTimer(this);
        trial.limit->setSingleShot(true);
        connect(trial.limit, &QTimer::timeout, this, [this, connector] {
            qDebug().noquote() << QStringLiteral("control: the trial of %1 was not ended in time, holding it again").arg(connector);
            endTrial(connector);
        });
        QMetaObject::invokeMethod(deamon, [d = deamon, key = trial.key] { d->beginTrial(key); }, Qt::QueuedConnection);
    }
    trial.limit->start(std::min(msec, MaxOutsideTrialMs));
    waitForDeamon();
    return ControlProtocol::ok();
}

QByteArray Controler::endTrial(const QString &connector)
{
    const auto trial = outsideTrials.constFind(connector);
    if (trial == outsideTrials.cend())
        return ControlProtocol::refused(QStringLiteral("no trial of %1 is open").arg(connector));
    QMetaObject::invokeMethod(deamon, [d = deamon, key = trial->key] { d->endTrial(key); }, Qt::QueuedConnection);
    trial->limit->deleteLater();
    outsideTrials.erase(trial);
    waitForDeamon();
    return ControlProtocol::ok();
}

QByteArray Controler::allow(const QString &program, bool allowed)
{
    if (!AllowedPrograms::isName(program))
        return ControlProtocol::refused(QStringLiteral("%1 is no program's file name").arg(program));
    QStringList names = AllowedPrograms::read(*settings);
    const bool listed = names.contains(program, AppPlatform::programNameCase());
    if (!allowed && !listed)
        return ControlProtocol::refused(QStringLiteral("%1 is not allowed").arg(program));
    if (allowed == listed)
        return ControlProtocol::ok();
    if (allowed)
        names << program;
    else
        names.removeIf([&](const QString &n) { return n.compare(program, AppPlatform::programNameCase()) == 0; });
    AllowedPrograms::write(*settings, names);
    qDebug().noquote() << (allowed ? QStringLiteral("control: %1 allowed to change the mode")
                                   : QStringLiteral("control: %1 no longer allowed to change the mode"))
                              .arg(program);
    // Its reload of the holds reads the list again.
    waitForDeamon();
    return ControlProtocol::ok();
}

void Controler::waitForDeamon()
{
    // The answer goes out once the lock thread holds or has let go what was asked (after the
    // calls queued to it before this one), so that a status or a trial right after sees it.
    if (deamonThread && deamonThread->isRunning())
        QMetaObject::invokeMethod(deamon, &Deamon::reloadMonitors, Qt::BlockingQueuedConnection);
}

void Controler::showWindow()
{
    if (mainWindow->isMinimized())
        mainWindow->showNormal();
    else
        mainWindow->show();
    mainWindow->raise();
    mainWindow->activateWindow();
}

void Controler::initDeamon()
{
    deamon = new Deamon();
    deamonThread = new QThread(this);
    deamonSettings = new QSettings(SettingsKeys::Organization, SettingsKeys::Application);
    deamon->moveToThread(deamonThread);
    deamonSettings->moveToThread(deamonThread);
    deamon->setDisplaySettings(displaySettings);
    deamon->setSettings(deamonSettings);
    // The poll timer belongs to the worker thread: it is stopped there, as the thread's last
    // act, not from the GUI thread at exit.
    connect(deamonThread, &QThread::finished, deamon, &Deamon::halt, Qt::DirectConnection);
    connect(deamonThread, &QThread::finished, deamonThread,
            [thread = deamonThread] { threadFinishedRelease(thread); }, Qt::DirectConnection);
    deamonThread->start();
    watchScreens();
}

void Controler::watchScreens()
{
    // Announcements from the display layer itself (any thread), queued into the lock's thread.
    displaySettings->setChangeCallback([deamon = deamon] {
        QMetaObject::invokeMethod(deamon, &Deamon::displayChanged, Qt::QueuedConnection);
    });
    // Qt hears of mode changes within milliseconds (RandR on X11, WM_DISPLAYCHANGE on
    // Windows); the daemon then need not wait for its next poll. A monitor that comes back
    // (plugged in, switched on) is a new screen to Qt.
    auto *gui = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (!gui)
        return;
    auto watch = [this](QScreen *screen) {
        connect(screen, &QScreen::geometryChanged, deamon, &Deamon::displayChanged);
        connect(screen, &QScreen::refreshRateChanged, deamon, &Deamon::displayChanged);
    };
    const QList<QScreen *> screens = QGuiApplication::screens();
    for (QScreen *screen : screens)
        watch(screen);
    connect(gui, &QGuiApplication::screenAdded, this, watch);
    connect(gui, &QGuiApplication::screenAdded, deamon, &Deamon::displayChanged);
    connect(gui, &QGuiApplication::screenRemoved, deamon, &Deamon::displayChanged);
    connect(gui, &QGuiApplication::primaryScreenChanged, deamon, &Deamon::displayChanged);
}

void Controler::shutdown()
{
    // Nothing written is lost at exit, and the worker thread ends before its objects go. The
    // display layer's announcements stop first: they are posted to the daemon.
    if (displaySettings)
        displaySettings->setChangeCallback(nullptr);
    if (settings)
        settings->sync();
    if (deamonThread && deamonThread->isRunning()) {
        deamonThread->quit();
        // A thread stuck in the display system (a hung server or D-Bus peer) must not keep the
        // program from ending.
        if (deamonThread->wait(QDeadlineTimer(ThreadJoinTimeout)))
            threadJoinedAcquire(deamonThread);
        else
            abandonDeamonThread();
    }
}

void Controler::abandonDeamonThread()
{
    qDebug().noquote() << QStringLiteral("shutdown: the lock thread did not end within %1 ms, going on without it")
                              .arg(ThreadJoinTimeout);
    // Neither the thread nor what it may still be using is deleted: the process's end takes
    // them. A running QThread must not be destroyed, so it leaves the object tree.
    deamonThread->setParent(nullptr);
    deamonThread = nullptr;
    deamon = nullptr;
    deamonSettings = nullptr;
    displaySettings = nullptr;
}
