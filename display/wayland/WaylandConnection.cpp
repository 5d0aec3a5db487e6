#include "WaylandConnection.h"

#include <wayland-client.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {
const wl_registry_listener registryListener = {
    [](void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t version) {
        auto *handlers = static_cast<WaylandConnection::Handlers *>(data);
        if (handlers->global)
            handlers->global(registry, name, interface, version);
    },
    [](void *data, wl_registry *, uint32_t name) {
        auto *handlers = static_cast<WaylandConnection::Handlers *>(data);
        if (handlers->globalRemoved)
            handlers->globalRemoved(name);
    },
};
} // namespace

WaylandConnection::WaylandConnection(const std::string &displayName, Handlers h)
    : handlers(std::move(h))
{
    display = wl_display_connect(displayName.empty() ? nullptr : displayName.c_str());
    if (!display)
        return;
    registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &handlers);
    // The globals, then what the objects bound to them send at once.
    if (!firstRoundtrip() || !firstRoundtrip())
        lost = true;
    if (pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        lost = true;
}

// Before the reading thread runs: read here, for a while only. A compositor that accepts the
// connection and never answers must not hold the caller.
bool WaylandConnection::firstRoundtrip()
{
    static const wl_callback_listener listener = {&WaylandConnection::syncDone};
    wl_callback *cb = wl_display_sync(display);
    const uint64_t sequence = ++syncsSent;
    pendingSyncs.emplace(cb, sequence);
    wl_callback_add_listener(cb, &listener, this);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(DefaultTimeoutMs);
    while (wl_display_dispatch_pending(display) >= 0) {
        if (syncsDone >= sequence)
            return true;
        if (wl_display_prepare_read(display) != 0)
            continue;
        if (wl_display_flush(display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(display);
            break;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd fd = {wl_display_get_fd(display), POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&fd, 1, int(left.count())) : 0;
        if (ready > 0) {
            if (wl_display_read_events(display) < 0)
                break;
            continue;
        }
        wl_display_cancel_read(display);
        if (ready == 0 || errno != EINTR)
            break;
    }
    dropSync(cb);
    return false;
}

void WaylandConnection::dropSync(wl_callback *cb)
{
    if (pendingSyncs.erase(cb) != 0)
        wl_callback_destroy(cb);
}

void WaylandConnection::start()
{
    if (display && !lost && !reader.joinable())
        reader = std::thread(&WaylandConnection::readLoop, this);
}

WaylandConnection::~WaylandConnection()
{
    if (reader.joinable()) {
        {
            std::lock_guard<std::mutex> guard(mutex);
            stopping = true;
        }
        const char byte = 0;
        (void)!write(wakeFds[1], &byte, 1);
        reader.join();
    }
    for (int fd : wakeFds) {
        if (fd >= 0)
            close(fd);
    }
    if (!display)
        return;
    for (auto &pending : pendingSyncs)
        wl_callback_destroy(pending.first);
    // The owner destroyed its own proxies before; the registry is ours.
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
}

void WaylandConnection::setChangeCallback(std::function<void()> cb)
{
    std::lock_guard<std::mutex> guard(callbackMutex);
    callback = std::move(cb);
}

bool WaylandConnection::flush()
{
    if (!isAlive())
        return false;
    // EAGAIN: the socket is full; the reading thread sends the rest when it can.
    if (wl_display_flush(display) < 0 && errno != EAGAIN)
        markLost();
    const char byte = 0;
    (void)!write(wakeFds[1], &byte, 1);
    return !lost;
}

void WaylandConnection::syncDone(void *data, wl_callback *cb, uint32_t)
{
    auto *self = static_cast<WaylandConnection *>(data);
    auto it = self->pendingSyncs.find(cb);
    if (it != self->pendingSyncs.end()) {
        // Answers come in the order the requests went out.
        if (it->second > self->syncsDone)
            self->syncsDone = it->second;
        self->pendingSyncs.erase(it);
    }
    wl_callback_destroy(cb);
}

bool WaylandConnection::roundtrip(std::unique_lock<std::mutex> &held, int timeoutMs)
{
    if (!isAlive())
        return false;
    // The compositor has not answered the round trip that last timed out: it is stalled, and
    // waiting again would only add up (a trial reads several times). Its answer ends this.
    if (probe > syncsDone)
        return false;
    static const wl_callback_listener listener = {&WaylandConnection::syncDone};
    wl_callback *cb = wl_display_sync(display);
    const uint64_t sequence = ++syncsSent;
    pendingSyncs.emplace(cb, sequence);
    wl_callback_add_listener(cb, &listener, this);
    if (flush() && waitUntil(held, [&] { return syncsDone >= sequence; }, timeoutMs))
        return true;
    // Kept as the one probe for the compositor's return; nothing else is left waiting.
    probe = sequence;
    return false;
}

bool WaylandConnection::waitUntil(std::unique_lock<std::mutex> &held, const std::function<bool()> &done,
                                  int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (!isAlive())
            return false;
        if (dispatched.wait_until(held, deadline) == std::cv_status::timeout)
            return done();
    }
    return true;
}

void WaylandConnection::markLost()
{
    lost = true;
    dispatched.notify_all();
}

bool WaylandConnection::readOnce()
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        // Nothing more is handled once a caller found it lost: its owner may be replacing it.
        if (lost)
            return false;
        while (wl_display_prepare_read(display) != 0) {
            if (wl_display_dispatch_pending(display) < 0) {
                markLost();
                return false;
            }
        }
        if (wl_display_flush(display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(display);
            markLost();
            return false;
        }
    }
    pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {wakeFds[0], POLLIN, 0}};
    int ready;
    do {
        ready = poll(fds, 2, -1);
    } while (ready < 0 && errno == EINTR);
    if (fds[1].revents & POLLIN) {
        char drain[64];
        while (read(wakeFds[0], drain, sizeof drain) > 0) {
        }
    }
    bool ok;
    if (fds[0].revents & (POLLIN | POLLERR | POLLHUP))
        ok = wl_display_read_events(display) == 0;
    else {
        wl_display_cancel_read(display);
        ok = true;
    }
    bool announce = false;
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (!ok || lost || wl_display_dispatch_pending(display) < 0) {
            markLost();
            return false;
        }
        announce = announced;
        announced = false;
        dispatched.notify_all();
    }
    if (announce) {
        std::lock_guard<std::mutex> guard(callbackMutex);
        if (callback)
            callback();
    }
    return true;
}

void WaylandConnection::readLoop()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(mutex);
            if (stopping || lost)
                return;
        }
        if (!readOnce()) {
            // A lost connection is a change too: the next read says why nothing can be read.
            std::lock_guard<std::mutex> guard(callbackMutex);
            if (callback)
                callback();
            return;
        }
    }
}
