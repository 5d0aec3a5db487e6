#include "AppPlatform.h"

#include "AllowedPrograms.h"
#include "UnixSignals.h"
#include "XdgAutoRunStore.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <initializer_list>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
volatile std::sig_atomic_t consoleNoted = 0;

void noteConsole(int)
{
    consoleNoted = 1;
}

QByteArray readProc(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

std::vector<AppPlatform::Program> AppPlatform::programs()
{
    std::vector<Program> found;
    const uid_t me = getuid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        const QString dir = QStringLiteral("/proc/") + entry;
        struct stat owner;
        if (!number || ::stat(QFile::encodeName(dir).constData(), &owner) != 0 || owner.st_uid != me)
            continue;
        QStringList arguments;
        const QByteArray line = readProc(dir + QStringLiteral("/cmdline"));
        for (const QByteArray &word : line.split('\0'))
            arguments << QFile::decodeName(word);
        if (line.endsWith('\0'))
            arguments.removeLast();
        const QString executable = QFile::symLinkTarget(dir + QStringLiteral("/exe"));
        // Kernel threads have neither.
        if (executable.isEmpty() && arguments.isEmpty())
            continue;
        const QString shortName = QFile::decodeName(readProc(dir + QStringLiteral("/comm")).trimmed());
        found.push_back({pid, AllowedPrograms::namesOf(executable, arguments, shortName)});
    }
    return found;
}

Qt::CaseSensitivity AppPlatform::programNameCase()
{
    return Qt::CaseSensitive;
}

std::unique_ptr<QObject> AppPlatform::watchEnd(qint64 pid, std::function<void()> ended)
{
    auto watch = std::make_unique<QObject>();
    // A pidfd becomes readable when the process ends, and names that process even after its
    // number is given to another.
    const int fd = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
    const int why = errno;
    if (fd >= 0) {
        auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, watch.get());
        QObject::connect(notifier, &QObject::destroyed, [fd] { ::close(fd); });
        QObject::connect(notifier, &QSocketNotifier::activated, watch.get(), [notifier, ended] {
            notifier->setEnabled(false);
            ended();
        });
        return watch;
    }
    // Kernels before 5.3: its /proc entry, looked at on its own a few times a second.
    const QString entry = QStringLiteral("/proc/%1").arg(pid);
    if (why == ESRCH || !QFileInfo::exists(entry))
        return nullptr;
    auto *timer = new QTimer(watch.get());
    QObject::connect(timer, &QTimer::timeout, watch.get(), [timer, entry, ended] {
        if (QFileInfo::exists(entry))
            return;
        timer->stop();
        ended();
    });
    timer->start(250);
    return watch;
}
