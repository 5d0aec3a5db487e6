#include "Tray.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QTimer>

// Outside any namespace, as Q_INIT_RESOURCE requires.
static void initResources()
{
    Q_INIT_RESOURCE(resources);
}

Tray::Tray(QObject *parent)
    : QSystemTrayIcon(parent)
{
    // Registered at load time already; doing it again costs nothing.
    initResources();
    setIcon(QIcon(QStringLiteral(":/icon.png")));

    // No parent: a menu is a top-level widget of its own.
    menu = new QMenu();
    showOrHideAction = new QAction(tr("显示/隐藏"), menu);
    menu->addAction(showOrHideAction);
    holdArrangementAction = new QAction(tr("保持当前排列"), menu);
    holdArrangementAction->setCheckable(true);
    holdArrangementAction->setVisible(false);
    menu->addAction(holdArrangementAction);
    exitAction = new QAction(tr("退出"), menu);
    menu->addAction(exitAction);
    setContextMenu(menu);

    connect(exitAction, &QAction::triggered, this, &Tray::exitClicked);
    connect(showOrHideAction, &QAction::triggered, this, &Tray::showOrHideClicked);
    connect(holdArrangementAction, &QAction::triggered, this, &Tray::holdArrangementClicked);
    connect(this, &QSystemTrayIcon::activated, this, &Tray::onActivated);
}

Tray::~Tray()
{
    // Off the tray first, so the platform no longer refers to the menu we delete.
    hide();
    delete menu;
}

void Tray::onActivated(QSystemTrayIcon::ActivationReason activationReason)
{
    // Emitted from the event loop, after the activation has been handled.
    if (activationReason == QSystemTrayIcon::DoubleClick)
        QTimer::singleShot(0, this, &Tray::showOrHideClicked);
}

void Tray::showArrangement(bool offered, bool held)
{
    holdArrangementAction->setVisible(offered);
    holdArrangementAction->setChecked(held);
}
