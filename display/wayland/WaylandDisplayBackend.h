#pragma once

#include "DisplayBackend.h"
#include "WaylandConnection.h"
#include "WaylandOutput.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What the Wayland output-management backends share: reads and applies over a model that the
// protocol's events keep, on a connection of the backend's own. The protocol's code binds its
// globals, keeps the outputs, tells which is primary and which monitor is on each, and sends
// configurations.
class WaylandDisplayBackend : public DisplayBackend
{
public:
    bool readOutputs(std::vector<DisplayOutput> &outputs) override;
    bool readModes(const std::string &output, std::vector<DisplayMode> &modes) override;
    ApplyResult applyModes(const std::vector<ModeChange> &changes) override;
    void setChangeCallback(std::function<void()> callback) override;

protected:
    enum class Answer { Applied, Refused, Stale, Failed };

    // One output's part of a configuration: `target`, or the unlisted `wanted` when there is
    // no target.
    struct Change
    {
        WaylandOutput *output = nullptr;
        WaylandMode *target = nullptr;
        DisplayMode wanted;
    };

    // The calls below are made with the connection's lock held.
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
    // "1280x1024 75 Hz on DP-1, ..." for messages.
    static std::string text(const std::vector<Change> &changes);

    std::unique_ptr<WaylandConnection> connection;

private:
    bool readLocked(std::unique_lock<std::mutex> &held, std::vector<DisplayOutput> &outputs);
    ApplyResult applyOnce(std::unique_lock<std::mutex> &held, const std::vector<ModeChange> &changes, bool *stale);

    bool saidNoneInUse = false;
};
