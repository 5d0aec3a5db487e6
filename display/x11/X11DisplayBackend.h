#pragma once

#include "DisplayBackend.h"

#include <memory>
#include <mutex>
#include <string>

// X11 through RandR 1.3, on a connection of its own. The pinned output (by name, which outlives
// server restarts and re-probes) is the one served; its mode list, in the server's order, is the
// mode numbering. A lost connection makes calls fail; the next call connects again.
class X11DisplayBackend : public DisplayBackend
{
public:
    // displayName: as for XOpenDisplay; empty means $DISPLAY.
    explicit X11DisplayBackend(const std::string &displayName = std::string());
    ~X11DisplayBackend() override;

    std::string pinOutput() override;
    bool mode(int n, DisplayMode &out) override;
    OutputState current(DisplayMode &out) override;
    OutputState availability(const DisplayMode &mode) override;
    ApplyResult apply(const DisplayMode &mode) override;
    // RandR's change notifications, heard on a connection and thread of their own.
    void setChangeCallback(std::function<void()> callback) override;

    // The pinned output (empty before pinOutput() or when there was none).
    std::string outputName();
    // Pins a named output instead of the primary (tests).
    void pinOutputNamed(const std::string &name);
    // Requests that waited for a reply since the last call (tests and benchmarks).
    int takeRoundTrips();

private:
    struct Private;
    struct Watcher;
    std::mutex mutex;
    std::unique_ptr<Private> d;
    std::unique_ptr<Watcher> watcher;
};
