#pragma once

#include "DisplayBackend.h"

#include <memory>
#include <mutex>
#include <string>

// X11 through RandR 1.3, on a connection of its own. Every connected output is served, by its
// connector name (which outlives server restarts and re-probes); an output's mode list, in the
// server's order, is its mode numbering. The arrangement is each CRTC's position and rotation
// and the screen's primary output; X has no scale. A lost connection makes calls fail; the next
// call connects again.
class X11DisplayBackend : public DisplayBackend
{
public:
    // displayName: as for XOpenDisplay; empty means $DISPLAY.
    explicit X11DisplayBackend(const std::string &displayName = std::string());
    ~X11DisplayBackend() override;

    bool readOutputs(std::vector<DisplayOutput> &outputs) override;
    bool readModes(const std::string &output, std::vector<DisplayMode> &modes) override;
    LayoutFeatures features() const override;
    // RandR's change notifications, heard on a connection and thread of their own.
    void setChangeCallback(std::function<void()> callback) override;

    // Requests that waited for a reply since the last call (tests and benchmarks).
    int takeRoundTrips();

protected:
    ApplyResult commit(const ApplyPlan &plan, bool *stale) override;

private:
    struct Private;
    struct Watcher;
    std::mutex mutex;
    std::unique_ptr<Private> d;
    std::unique_ptr<Watcher> watcher;
};
