#pragma once

#include "DisplayBackend.h"
#include "WaylandConnection.h"
#include "WaylandOutput.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

// What the Wayland output-management backends share: reads and applies over a model that the
// protocol's events keep, on a connection of the backend's own, made anew on the next call
// when it was lost (the compositor restarted, a protocol error). The protocol's code binds its
// globals, keeps the outputs, tells which is primary and which monitor is on each, and sends
// configurations.
class WaylandDisplayBackend : public DisplayBackend
{
public:
    bool readOutputs(std::vector<DisplayOutput> &outputs) override;
    bool readModes(const std::string &output, std::vector<DisplayMode> &modes) override;
    void setChangeCallback(std::function<void()> callback) override;

protected:
    ApplyResult commit(const ApplyPlan &plan, bool *stale) override;

    enum class Answer { Applied, Refused, Stale, Failed };

    // One output's part of a configuration: what the plan makes of it, and the listed mode to
    // switch to (null: the mode stays, or the custom mode entry->wanted.current).
    struct Change
    {
        WaylandOutput *output = nullptr;
        const ApplyPlan::Output *entry = nullptr;
        WaylandMode *target = nullptr;

        bool customMode() const { return entry->modeChanges && !target; }
    };

    // Connects to `display` (a socket name or path; empty: $WAYLAND_DISPLAY); `handlers` bind
    // the protocol's globals, now and on every new connection. `tag` starts messages.
    void open(const std::string &display, WaylandConnection::Handlers handlers, const char *tag);

    // The calls below are made with the connection's lock held.
    // Drops every proxy of the protocol's own and what they said: the connection goes.
    virtual void forget() = 0;
    // Whether the compositor serves the protocol's configuration global.
    virtual bool served() const = 0;
    // Every output, in the order announced.
    virtual std::vector<WaylandOutput *> outputs() = 0;
    // Sets the monitor's identity on `out` and whether `output` is the primary.
    virtual void describe(const WaylandOutput &output, DisplayOutput &out) = 0;
    // Whether the output takes modes it does not list (as custom modes).
    virtual bool takesUnlisted(const WaylandOutput &output) const
    {
        (void)output;
        return false;
    }
    // Says why nothing can be pinned: every one of `count` outputs is off.
    virtual void sayNoneInUse(size_t count) = 0;
    // One configuration with every change and the compositor's answer. Stale: the
    // configuration changed since it was read (then it is read and sent once more).
    virtual Answer send(std::unique_lock<std::mutex> &held, const std::vector<Change> &changes) = 0;

    // Brings what the compositor said up to now; false when it cannot be asked.
    bool refresh(std::unique_lock<std::mutex> &held);
    WaylandOutput *output(const std::string &name);
    // "DP-1: 1280x1024 75 Hz at 0,0, ..." for messages.
    static std::string text(const std::vector<Change> &changes);

    std::unique_ptr<WaylandConnection> connection;
    // Held shared by every call that uses the connection, exclusively to replace it.
    std::shared_mutex replacing;

private:
    // For a call: the connection, made anew first when the last one was lost, unless the
    // last try failed less than the back-off ago.
    std::shared_lock<std::shared_mutex> use();
    // After a failed connection: a compositor that accepts and never answers (one restarting)
    // costs each try its time-out, so tries are spaced, FirstBackoffMs doubling up to MaxBackoffMs.
    void noteConnection();
    static constexpr int FirstBackoffMs = 1000;
    static constexpr int MaxBackoffMs = 8000;
    int backoffMs = 0;
    std::chrono::steady_clock::time_point retryAt;
    bool readLocked(std::unique_lock<std::mutex> &held, std::vector<DisplayOutput> &outputs);
    // The plan's changes on the outputs as they stand now; false when the outputs changed since
    // the plan's read (one gone or off, a mode list renumbered).
    bool changesOf(const ApplyPlan &plan, std::vector<Change> &changes);

    bool saidNoneInUse = false;
    std::string displayName;
    WaylandConnection::Handlers handlers;
    const char *tag = "";
    std::mutex callbackMutex;
    std::function<void()> changeCallback; // for every connection
};
