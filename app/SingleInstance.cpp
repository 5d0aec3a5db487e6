#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>

namespace {
constexpr int AnswerTimeoutMs = 3000;
}

SingleInstance::SingleInstance(const QString &dir, QObject *parent)
    : QObject(parent)
{
    directory = dir;
    if (directory.isEmpty())
        directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (directory.isEmpty())
        directory = QDir::tempPath();
}

SingleInstance::~SingleInstance()
{
    if (server)
        server->close();
}

QString SingleInstance::lockPath() const
{
    return directory + QStringLiteral("/velmora.lock");
}

QString SingleInstance::serverName() const
{
#ifdef Q_OS_WIN
    // Pipe names are machine-wide: make the name the user's own.
    const QByteArray user = QCryptographicHash::hash(QDir::homePath().toUtf8(), QCryptographicHash::Sha256).toHex();
    return QStringLiteral("velmora-") + QString::fromLatin1(user.left(16));
#else
    // A full path: the socket sits in the user's own folder, out of other users' reach.
    return directory + QStringLiteral("/velmora.socket");
#endif
}

SingleInstance::Result SingleInstance::claim(const QByteArray &request)
{
    QDir().mkpath(directory);
    lock = std::make_unique<QLockFile>(lockPath());
    // Only a dead owner makes the lock stale, however old it is.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        server = new QLocalServer(this);
        server->setSocketOptions(QLocalServer::UserAccessOption);
        // A socket left behind by a crashed instance would make listen() fail.
        QLocalServer::removeServer(serverName());
        if (!server->listen(serverName()))
            qWarning().noquote() << "cannot listen on" << serverName() << ":" << server->errorString();
        connect(server, &QLocalServer::newConnection, this, &SingleInstance::readRequest);
        return Result::First;
    }
    lock.reset();

    // The first instance may still be starting and not listen yet: try for a while.
    QDeadlineTimer deadline(AnswerTimeoutMs);
    do {
        QLocalSocket socket;
        socket.connectToServer(serverName());
        if (socket.waitForConnected(200)) {
            socket.write(request + '\n');
            // The first instance closes the connection once it has read the request.
            if (socket.waitForBytesWritten(1000)
                && (socket.state() == QLocalSocket::UnconnectedState || socket.waitForDisconnected(1000)))
                return Result::HandedOver;
        }
        QThread::msleep(50);
    } while (!deadline.hasExpired());
    return Result::Unreachable;
}

void SingleInstance::readRequest()
{
    while (QLocalSocket *socket = server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto read = [this, socket] {
            if (!socket->canReadLine())
                return;
            const QByteArray request = socket->readLine().trimmed();
            socket->disconnectFromServer();
            Q_EMIT requested(request);
        };
        connect(socket, &QLocalSocket::readyRead, this, read);
        read();
    }
}
