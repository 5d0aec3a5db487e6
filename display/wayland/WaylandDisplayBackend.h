#pragma once

#include "DisplayBackend.h"
#include "WaylandConnection.h"
#include "WaylandOutput.h"

#include <memory>
#include <mutex>
#include <string>

// What the Wayland output-management backends share: reads and applies for the pinned output
// over a model that the protocol's events keep, on a connection of the backend's own. The
// protocol's code binds its globals, keeps the outputs and sends configurations.
class WaylandDisplayBackend : public DisplayBackend
{
public:
    bool mode(int n, DisplayMode &out) override;
    OutputState current(DisplayMode &out) override;
    OutputState availability(const DisplayMode &mode) override;
    ApplyResult apply(const DisplayMode &mode) override;
    void setChangeCallback(std::function<void()> callback) override;

protected:
    enum class Answer { Applied, Refused, Stale, Failed };

    // The calls below are made with the connection's lock held.
    // Whether the compositor serves the protocol's configuration global.
    virtual bool served() const = 0;
    virtual WaylandOutput *output(const std::string &name) = 0;
    // Whether the output takes modes it does not list (as custom modes).
    virtual bool takesUnlisted(const WaylandOutput &output) const
    {
        (void)output;
        return false;
    }
    // One configuration that puts `pin` into `target`, or into the unlisted `wanted` when
    // there is no target, and the compositor's answer. Stale: the configuration changed
    // since it was read (then it is read and sent once more).
    virtual Answer send(std::unique_lock<std::mutex> &held, WaylandOutput &pin, WaylandMode *target,
                        const DisplayMode &wanted) = 0;

    // Brings what the compositor said up to now; false when it cannot be asked.
    bool refresh(std::unique_lock<std::mutex> &held);
    // The first output of `outputs` (a list of a WaylandOutput kind) that is on in a mode.
    template <typename Outputs>
    void pinFirstInUse(const Outputs &outputs)
    {
        for (const auto &o : outputs) {
            if (o.enabled && (o.current || takesUnlisted(o))) {
                pinned = o.name;
                return;
            }
        }
    }

    std::unique_ptr<WaylandConnection> connection;
    std::string pinned;

private:
    // Reads what the compositor said last of the pinned output: Active with *out set, or why not.
    OutputState readPinned(std::unique_lock<std::mutex> &held, WaylandOutput **out);
    ApplyResult applyOnce(std::unique_lock<std::mutex> &held, const DisplayMode &wanted, bool *stale);
};
