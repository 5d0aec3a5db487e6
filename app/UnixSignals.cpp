#include "UnixSignals.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int fds[2] = {-1, -1};
const int handled[] = {SIGTERM, SIGINT, SIGHUP};
std::atomic<bool> ending{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used in a signal handler");

void onSignal(int signal)
{
    // Asked again while ending: whatever keeps the shutdown busy, the answer is to stop now.
    // The signal is blocked in its handler, so it lands, with its default action, on return.
    if (ending.exchange(true)) {
        ::signal(signal, SIG_DFL);
        ::raise(signal);
        return;
    }
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

void UnixSignals::shuttingDown()
{
    ending = true;
}

void UnixSignals::readSignal()
{
    unsigned char byte = 0;
    if (::read(fds[0], &byte, 1) == 1)
        emit received(byte);
}
