#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;

// One running instance per user. The first start holds a lock file and listens on a local
// socket; a later start finds the lock taken, hands its request to the first one over the
// socket and ends. A lock left by a crashed instance does not count. The same channel takes
// velmoractl's requests: one short line each way, for this user only.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    // `directory`: where the lock and (on Unix) the socket live; empty: the user's runtime
    // folder, else a folder only this user can enter.
    explicit SingleInstance(const QString &directory = QString(), QObject *parent = nullptr);
    ~SingleInstance() override;

    enum class Result { First, HandedOver, Unreachable };

    // First: this process is the one instance from now on. HandedOver: another instance
    // runs and has received `request`. Unreachable: another instance holds the lock but did
    // not answer.
    Result claim(const QByteArray &request);

    enum class Asked { Answered, NotRunning, Unreachable };
    // From a program that is not an instance (velmoractl): asks the running instance and puts
    // its one-line answer into `answer`. NotRunning: no instance holds the lock.
    Asked ask(const QByteArray &request, QByteArray *answer);

    // What the running instance answers to a request; an empty answer drops the connection
    // unanswered (a request it does not know).
    void setAnswerer(std::function<QByteArray(const QByteArray &)> answerer);

    QString serverName() const;
    QString lockPath() const;

    // The longest request line and the longest answer line, newline included.
    static constexpr qint64 MaxRequestBytes = 256;
    static constexpr qint64 MaxAnswerBytes = 16384;

Q_SIGNALS:
    // A later start asked something of this instance.
    void requested(const QByteArray &request);

private:
    Result handOver(const QByteArray &request);
    void readRequest();
    // Reads one connection's request if it is there; true when the connection is done with.
    bool readLine(QLocalSocket *socket);
    void drop(QLocalSocket *socket);

    QString directory;
    bool ownFolder = false; // made by us, kept private to this user
    bool lockHeldElsewhere() const;

    std::unique_ptr<QLockFile> lock;
    std::function<QByteArray(const QByteArray &)> answerer;
    QLocalServer *server = nullptr;
};
