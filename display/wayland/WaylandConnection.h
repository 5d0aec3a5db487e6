#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <map>
#include <string>
#include <thread>

struct wl_display;
struct wl_registry;
struct wl_callback;

// A Wayland connection of a backend's own, read by a thread of its own, for the output-management
// protocols (KDE's and wlroots'). Every event is handled on that thread under one mutex, which
// callers from any thread take (lock()) to read what the events built up or to send requests:
// a proxy created and given its listener under the lock can never have an event dispatched
// before it is listening. A lost connection stays lost: its owner makes a new one.
class WaylandConnection
{
public:
    struct Handlers
    {
        // A global the compositor offers (at start and later), to bind or ignore.
        std::function<void(wl_registry *, uint32_t name, const char *interface, uint32_t version)> global;
        std::function<void(uint32_t name)> globalRemoved;
    };

    // display: a socket name or path as for WAYLAND_DISPLAY; empty means $WAYLAND_DISPLAY.
    // Connects, hands every global to the handlers and waits, DefaultTimeoutMs at most each
    // time, for the globals and the events the bound objects send first.
    WaylandConnection(const std::string &display, Handlers handlers);
    // Starts reading in the background; from here on, events are handled on that thread.
    void start();
    ~WaylandConnection();
    WaylandConnection(const WaylandConnection &) = delete;
    WaylandConnection &operator=(const WaylandConnection &) = delete;

    // Whether there is no Wayland display at all (no socket, refused).
    bool failedToConnect() const { return display == nullptr; }

    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex); }

    // The calls below are made with the lock held. Each answers false once the connection is
    // lost (the compositor went away or ended it over a protocol error).
    bool isAlive() const { return display && !lost; }
    // Sends requests made since (the reading thread also sends, at the latest on its next turn).
    bool flush();
    // Returns when every event the compositor sent before it has been handled; false when that
    // takes longer than timeoutMs.
    bool roundtrip(std::unique_lock<std::mutex> &held, int timeoutMs = DefaultTimeoutMs);
    // Waits, letting events be handled meanwhile, until `done` holds or the time is up.
    bool waitUntil(std::unique_lock<std::mutex> &held, const std::function<bool()> &done,
                   int timeoutMs = DefaultTimeoutMs);

    // Event handlers call this when the compositor has finished announcing a change; the
    // callback then runs on the reading thread after the events, without the lock.
    void changeAnnounced() { announced = true; }
    void setChangeCallback(std::function<void()> callback);

    wl_display *wlDisplay() const { return display; }

    static constexpr int DefaultTimeoutMs = 3000;

private:
    static void syncDone(void *data, wl_callback *callback, uint32_t);
    // One round trip before start(), of DefaultTimeoutMs at most.
    bool firstRoundtrip();
    // Forgets a sync that is still waiting for its answer.
    void dropSync(wl_callback *callback);
    void readLoop();
    // One turn: read what arrived (or wait for it), then dispatch. False when lost.
    bool readOnce();
    void markLost();

    wl_display *display = nullptr;
    wl_registry *registry = nullptr;
    Handlers handlers;
    std::mutex mutex;
    std::condition_variable dispatched;
    bool lost = false;
    bool announced = false;
    uint64_t syncsSent = 0;
    uint64_t syncsDone = 0;
    uint64_t probe = 0; // the round trip that timed out last

    std::map<wl_callback *, uint64_t> pendingSyncs;
    std::mutex callbackMutex;
    std::function<void()> callback;
    int wakeFds[2] = {-1, -1};
    bool stopping = false;
    std::thread reader;
};
