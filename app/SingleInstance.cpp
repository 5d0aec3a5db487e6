#include "SingleInstance.h"

#include "AppPlatform.h"

#include <QDebug>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

namespace {
// How long a later start tries to reach the first one, which may still be starting (or slow
// to accept: under Wine on a loaded machine 3 s were seen not to do).
constexpr int ConnectTimeoutMs = 6000;
// How long it then waits for the answer: the first instance may be busy for a while (a
// D-Bus call to a slow compositor, a mode switch).
constexpr int AnswerTimeoutMs = 15000;
// A request is one short line, said at once; anything else is dropped unread.
constexpr int RequestTimeoutMs = 1000;
// velmoractl's wait for a running instance, which answers at once unless it is stuck.
constexpr int AskConnectTimeoutMs = 2000;
// How long a start waits for a lock that may be only a probe's (lockHeldElsewhere()), which
// holds it for microseconds; a live instance's is waited for this long before the hand-over.
constexpr int ProbeGraceMs = 500;
constexpr int AskAnswerTimeoutMs = 10000;
} // namespace

SingleInstance::SingleInstance(const QString &dir, QObject *parent)
    : QObject(parent)
{
    directory = dir;
    if (directory.isEmpty())
        directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    // No private runtime folder (Qt gives none when its fallback in /tmp belongs to somebody
    // else). A fixed name in a shared folder would let another user hold the lock or take the
    // hand-over: a folder of the user's own instead.
    if (directory.isEmpty()) {
        directory = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
            + QStringLiteral("/velmora");
        ownFolder = true;
    }
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
    return AppPlatform::instanceServerName(directory);
}

SingleInstance::Result SingleInstance::claim(const QByteArray &request)
{
    QDir().mkpath(directory);
    if (ownFolder && !QFile::setPermissions(directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        qWarning().noquote() << "cannot make" << directory << "private to this user";
    lock = std::make_unique<QLockFile>(lockPath());
    // Only a dead owner makes the lock stale, however old it is.
    lock->setStaleLockTime(0);
    // Waits a moment: velmoractl asking at this instant holds the lock for a probe.
    if (lock->tryLock(ProbeGraceMs)) {
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
    return handOver(request);
}

SingleInstance::Result SingleInstance::handOver(const QByteArray &request)
{
    // The first instance may still be starting and not listen yet: try for a while.
    QLocalSocket socket;
    const QDeadlineTimer connecting(ConnectTimeoutMs);
    for (;;) {
        socket.connectToServer(serverName());
        if (socket.waitForConnected(200))
            break;
        if (connecting.hasExpired())
            return Result::Unreachable;
        QThread::msleep(50);
    }
    if (!AppPlatform::serverIsOurs(socket)) {
        qWarning().noquote() << serverName() << "is held by a program of another account: nothing handed over";
        return Result::Unreachable;
    }
    // One connection only, so the request arrives once however long the first instance
    // takes; it closes the connection once it has read the request.
    socket.write(request + '\n');
    if (socket.waitForBytesWritten(AnswerTimeoutMs)
        && (socket.state() == QLocalSocket::UnconnectedState || socket.waitForDisconnected(AnswerTimeoutMs)))
        return Result::HandedOver;
    return Result::Unreachable;
}

void SingleInstance::setAnswerer(std::function<QByteArray(const QByteArray &)> a)
{
    answerer = std::move(a);
}

bool SingleInstance::lockHeldElsewhere() const
{
    QLockFile probe(lockPath());
    probe.setStaleLockTime(0);
    if (probe.tryLock(0)) {
        probe.unlock();
        return false;
    }
    // Taken by a live instance, or a folder this user cannot use: either way not free.
    return true;
}

SingleInstance::Asked SingleInstance::ask(const QByteArray &request, QByteArray *answer)
{
    QLocalSocket socket;
    socket.connectToServer(serverName());
    if (!socket.waitForConnected(AskConnectTimeoutMs)) {
        // No listener: a lock nobody holds means no instance; a held one, a stuck instance.
        if (socket.error() != QLocalSocket::SocketAccessError && !lockHeldElsewhere())
            return Asked::NotRunning;
        return Asked::Unreachable;
    }
    if (!AppPlatform::serverIsOurs(socket)) {
        qWarning().noquote() << serverName() << "is held by a program of another account: nothing asked";
        return Asked::Unreachable;
    }
    socket.write(request + '\n');
    QByteArray line;
    const QDeadlineTimer deadline(AskAnswerTimeoutMs);
    while (!line.endsWith('\n') && line.size() < MaxAnswerBytes && !deadline.hasExpired()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        line += socket.read(MaxAnswerBytes - line.size());
    }
    if (!line.endsWith('\n'))
        return Asked::Unreachable;
    if (answer)
        *answer = line.trimmed();
    return Asked::Answered;
}

void SingleInstance::readRequest()
{
    while (QLocalSocket *socket = server->nextPendingConnection()) {
        // Never more than a request's worth in memory, and never a connection kept open.
        socket->setReadBufferSize(MaxRequestBytes);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readLine(socket); });
        QTimer::singleShot(RequestTimeoutMs, socket, [this, socket] {
            if (!readLine(socket))
                drop(socket);
        });
        readLine(socket);
    }
}

bool SingleInstance::readLine(QLocalSocket *socket)
{
    if (socket->state() != QLocalSocket::ConnectedState)
        return true;
    if (socket->canReadLine()) {
        // Whatever limits the read buffer (Windows pipes take more), a longer line is no request.
        const QByteArray line = socket->readLine(MaxRequestBytes);
        if (!line.endsWith('\n')) {
            drop(socket);
            return true;
        }
        const QByteArray request = line.trimmed();
        Q_EMIT requested(request);
        const QByteArray answer = answerer ? answerer(request) : QByteArray();
        if (answer.isEmpty() || answer.size() >= MaxAnswerBytes || answer.contains('\n')) {
            drop(socket);
            return true;
        }
        // disconnectFromServer() writes what is pending first.
        socket->write(answer + '\n');
        socket->disconnectFromServer();
        return true;
    }
    // A full buffer without a line break is no request.
    if (socket->bytesAvailable() >= MaxRequestBytes) {
        drop(socket);
        return true;
    }
    return false;
}

void SingleInstance::drop(QLocalSocket *socket)
{
    socket->abort();
    socket->deleteLater();
}
