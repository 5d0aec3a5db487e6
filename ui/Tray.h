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

public Q_SLOTS:
    void onActivated(QSystemTrayIcon::ActivationReason activationReason);

private:
    QMenu *menu;
    QAction *exitAction;
    QAction *showOrHideAction;
};
