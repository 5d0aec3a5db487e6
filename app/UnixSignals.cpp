#include "UnixSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int fds[2] = {-1, -1};
const int handled[] = {SIGTERM, SIGINT, SIGHUP};

void onSignal(int signal)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    // Non-blocking: a full pipe means a quit is pending already.
    [[maybe_unused]] const ssize_t n = ::write(fds[1], &byte, 1);
    errno = saved;
}
} // namespace

UnixSignals::UnixSignals(QObject *parent)
    : QObject(parent)
{
    if (fds[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &UnixSignals::readSignal);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : handled)
        ::sigaction(s, &action, nullptr);
}

UnixSignals::~UnixSignals()
{
    if (!notifier)
        return;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int s : handled)
        ::sigaction(s, &action, nullptr);
    delete notifier;
    ::close(fds[0]);
    ::close(fds[1]);
    fds[0] = fds[1] = -1;
}

void UnixSignals::readSignal()
{
    unsigned char byte = 0;
    if (::read(fds[0], &byte, 1) == 1)
        emit received(byte);
}
