#include "AppPlatform.h"

#include "UnixSignals.h"
#include "XdgAutoRunStore.h"

#include <QCoreApplication>
#include <QDebug>

#include <csignal>
#include <initializer_list>

namespace {
volatile std::sig_atomic_t consoleNoted = 0;

void noteConsole(int)
{
    consoleNoted = 1;
}
} // namespace

std::unique_ptr<AutoRunStore> AppPlatform::autoRunStore()
{
    return std::make_unique<XdgAutoRunStore>();
}

QString AppPlatform::seededIntervalKey()
{
    return QStringLiteral("msec");
}

QString AppPlatform::instanceServerName(const QString &directory)
{
    // A full path: the socket sits in the user's own folder, out of other users' reach.
    return directory + QStringLiteral("/velmora.socket");
}

bool AppPlatform::serverIsOurs(QLocalSocket &)
{
    // The socket lies in a folder only this user can enter.
    return true;
}

std::unique_ptr<QObject> AppPlatform::quitOnEndRequests(QCoreApplication &app)
{
    auto signals_ = std::make_unique<UnixSignals>();
    QObject::connect(signals_.get(), &UnixSignals::received, &app, [](int signal) {
        qDebug("signal %d: quitting", signal);
        QCoreApplication::quit();
    });
    // Before anything else is connected to it: a signal during the end ends it at once.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, signals_.get(), &UnixSignals::shuttingDown);
    return signals_;
}

void AppPlatform::catchConsoleInterrupts()
{
    // SIGHUP: the terminal closed.
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, noteConsole);
}

bool AppPlatform::consoleInterrupted()
{
    return consoleNoted != 0;
}

void AppPlatform::consoleUndone()
{
}
