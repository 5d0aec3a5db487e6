#pragma once

#include "DisplayMode.h"

#include <QHash>
#include <QList>
#include <QObject>

class AutoRunStore;
class Deamon;
class DisplaySettings;
class MainWindow;
class QSettings;
class QThread;
class QTimer;
class Tray;

// Root of the object graph: builds the catalogue, the settings store, the log-on start entry
// and the lock daemon with its thread, in that order.
class Controler : public QObject
{
    Q_OBJECT

public:
    // The longest a trial from velmoractl keeps the lock thread aside: its question and a margin.
    static constexpr int MaxOutsideTrialMs = 60000;

    explicit Controler(QObject *parent = nullptr);
    ~Controler() override;

    // How long the end of the program waits for the lock thread before it goes on without it.
    static constexpr int ThreadJoinTimeout = 3000;

    // The run command stored in the log-on start list: this program, in the background.
    static QString runCommand();

    // Creates the window and the tray icon and connects them; `background` (-d) keeps the
    // window hidden and locks the mode in use once the event loop runs.
    void initUi(bool background);

    // What the window's status bar says about the program's own set-up; empty: nothing.
    QString statusText() const { return m_statusText; }

Q_SIGNALS:
    void quit();
    void statusTextChanged(const QString &text);
    // The log-on entry could not be changed: whether it is there now.
    void autoRunInForce(bool inForce);

public Q_SLOTS:
    void updateAutoRun();
    // A later start of the program ("show" brings the window up, "background" does nothing)
    // or velmoractl (status, hold, release): the one-line answer; empty for no request at all.
    QByteArray answer(const QByteArray &request);

private:
    static QString runCommand(const AutoRunStore &store);
    void initSettings();
    void initDeamon();
    void watchScreens();
    void shutdown();
    void abandonDeamonThread();
    void refuseAutoRun(const QString &replaceableAt);
    void reportAutoRunFailure(bool inForce);
    void showWindow();
    QByteArray statusDocument() const;
    QByteArray hold(const QString &connector, const DisplayMode &mode);
    QByteArray release(const QString &connector);
    QByteArray releaseAll();
    QByteArray arrange(bool hold);
    // A trial from velmoractl: the lock thread steps aside for the monitor until it ends or
    // `msec` have passed, so that a velmoractl killed during its question loses no hold.
    QByteArray beginTrial(const QString &connector, int msec);
    QByteArray endTrial(const QString &connector);
    // Allows `program` to change the mode, or no longer.
    QByteArray allow(const QString &program, bool allowed);
    void waitForDeamon();
    // Lets go of the hold of `monitor`, one of the window's; false when none was held.
    bool releaseMonitor(const DisplaySettings *monitor);
    // Lets go of stored locks of monitors that are not the window's (not connected now).
    bool releaseStored(const QString &connector);

    MainWindow *mainWindow = nullptr;
    DisplaySettings *displaySettings = nullptr;
    // The catalogues of the other monitors that were on at start.
    QList<DisplaySettings *> otherMonitors;
    QSettings *settings = nullptr;
    Deamon *deamon = nullptr;
    QThread *deamonThread = nullptr;
    Tray *tray = nullptr;
    // The daemon's own object over the same store: QSettings is not thread-safe.
    QSettings *deamonSettings = nullptr;
    QString autoRunRefusedAt;
    QString m_statusText;
    // velmoractl's open trials by connector: the monitor's key, and what ends it in time.
    struct OutsideTrial
    {
        QString key;
        QTimer *limit = nullptr;
    };
    QHash<QString, OutsideTrial> outsideTrials;
};
