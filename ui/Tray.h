#pragma once

#include <QSystemTrayIcon>

class QAction;
class QMenu;

// The notification-area icon: a Show/Hide and an Exit entry, and a double click that asks
// for Show/Hide. It only emits; the Controler connects it.
class Tray : public QSystemTrayIcon
{
    Q_OBJECT

public:
    explicit Tray(QObject *parent = nullptr);
    ~Tray() override;

Q_SIGNALS:
    void exitClicked();
    void showOrHideClicked();
    // "Hold this arrangement" was checked or unchecked.
    void holdArrangementClicked(bool hold);

public Q_SLOTS:
    // The entry shows with two or more monitors on, checked while their arrangement is held.
    void showArrangement(bool offered, bool held);
    void onActivated(QSystemTrayIcon::ActivationReason activationReason);

private:
    QMenu *menu;
    QAction *exitAction;
    QAction *showOrHideAction;
    QAction *holdArrangementAction;
};
