#pragma once

#include "DisplayMode.h"

#include <QList>
#include <QMainWindow>

#include <memory>

class DisplaySettings;
class HoldKeeper;
class QSettings;
class QTimer;
namespace Ui {
class MainWindow;
}

// The mode table, the keep-or-revert trial of a mode, the lock switch and the label with the
// mode in use. The catalogue and the store are borrowed from the Controler.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The catalogue of the monitor primary at start: the window starts on it.
    void setDisplaySettings(DisplaySettings *displaySettings);
    // Another monitor's catalogue, offered in the monitor chooser.
    void addMonitor(DisplaySettings *displaySettings);
    // Also loads the autorun choice into the Settings menu.
    void setSettings(QSettings *settings);
    void initTable();

    // Held and let go from outside the window (velmoractl), as Lock does: the chooser, the
    // buttons, the tray and the store follow. The window's monitor on `connector` now, or -1.
    int monitorOn(const QString &connector) const;
    int monitorCount() const { return int(monitors.size()); }
    // False, holding nothing, when `mode` is not the one the monitor is in now: only a mode
    // that is on screen is held.
    bool holdMonitor(int index, const DisplayMode &mode);
    // False when it was not held.
    bool releaseMonitor(int index);
    // The window's monitor with this identity (as velmoractl list prints it), or -1.
    int monitorWithIdentity(const QString &identity) const;
    // Whether the keep-or-revert box is open: what is on screen then is not to be held.
    bool trialOpen() const { return m_trialOpen; }
    // Whether the arrangement of the monitors on now is held.
    bool arrangementHeld() const;
    // The one writer of holds, whose announcements the lock thread follows.
    HoldKeeper *holdKeeper() const { return keeper.get(); }
    DisplaySettings *catalogue(int index) const { return monitors.at(index).catalogue; }

    // How long the keep-or-revert box waits before it answers Cancel itself.
    static constexpr int DefaultRevertDelay = 15000;
    int revertDelay() const { return m_revertDelay; }
    void setRevertDelay(int msec) { m_revertDelay = msec; }

    // Where the About box links to.
    static constexpr const char *HomePage = "https://velmora.orvanne.org/";
    static constexpr const char *AuthorPage = "https://orvanne.org/";

Q_SIGNALS:
    void startDeamon();
    void stopDeamon();
    void updateAutoRun();
    // What is held, for the tray: "DP-1 2560x1440 144 Hz, HDMI-A-1 1920x1080 60 Hz".
    void heldChanged(const QString &summary);
    // Whether "Hold this arrangement" is offered (two or more monitors on) and checked.
    void arrangementChanged(bool offered, bool held);

public Q_SLOTS:
    void about();
    void apply();
    void lock(bool clicked);
    void autoRun(bool autorun);
    // The menu entry shows this, without asking for it again.
    void showAutoRun(bool inForce);
    void showOrHide();
    void deamonRun();
    // A lock stored for the monitor that is primary now, from a run where it was another one,
    // becomes the primary's: one monitor, one hold, shown and ended by Unlock.
    void adoptStoredPrimaryLock();
    void updateInfo();
    // Holds the arrangement of the monitors on now as it is, or lets it go.
    void holdArrangement(bool hold);
    // The entry, the chooser and the tool tip after the monitors or what is held changed.
    void announceHeld();

protected:
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private Q_SLOTS:
    // The buttons for the table's current row, however it got there (mouse, arrow keys,
    // row header, a trial): only the mode on screen can be locked, any other can be tried.
    void followCurrentRow();
    // The monitor chooser's choice: its modes, its mode in use, its lock.
    void chooseMonitor(int index);

private:
    struct Monitor
    {
        DisplaySettings *catalogue = nullptr;
        QString key; // its store group under "Monitors"; empty for the primary's
        bool locked = false;
        DisplayMode held;
    };
    Monitor &shownMonitor() { return monitors[chosen]; }
    const Monitor &shownMonitor() const { return monitors[chosen]; }
    DisplaySettings *shown() const { return monitors[chosen].catalogue; }
    void fillTable();
    void fillChooser();
    // Widens the columns and the window to what the texts now in them need.
    void fitToTexts();
    QString monitorText(const Monitor &monitor) const;
    void showLockState();
    // Stores the lock of `monitor` (its `held` mode), tells the daemon and shows it.
    void setLocked(Monitor &monitor, bool locked);
    // Each monitor's lock as the keeper holds it.
    void readHolds();
    void followHolds();
    // The background start's lock when no row is the mode in use: the stored mode, if it is one.
    void lockStored();
    void showButtons(const DisplayMode &inUse);
    DisplayMode rowMode(int row) const;
    // The keep-or-revert box; true when the user kept the mode.
    bool confirmKeep();
    void warn(const QString &text);

    Ui::MainWindow *ui;
    QList<Monitor> monitors{Monitor()};
    int chosen = 0;
    QSettings *settings = nullptr;
    std::unique_ptr<HoldKeeper> keeper;
    // The arrangement of the monitors on now, as last looked at: its monitors' connectors.
    QStringList arranged;
    bool arrangementOffered = false;
    QTimer *infoTimer;
    int m_revertDelay = DefaultRevertDelay;
    bool m_trialOpen = false;
};
