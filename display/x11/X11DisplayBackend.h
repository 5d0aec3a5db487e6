#pragma once

#include "DisplayBackend.h"

#include <memory>
#include <mutex>
#include <string>

// X11 through RandR 1.3, on a connection of its own. The primary output's mode list, in the
// server's order, is the mode numbering. A lost connection makes calls fail; the next call
// connects again.
class X11DisplayBackend : public DisplayBackend
{
public:
    // displayName: as for XOpenDisplay; empty means $DISPLAY.
    explicit X11DisplayBackend(const std::string &displayName = std::string());
    ~X11DisplayBackend() override;

    bool mode(int n, DisplayMode &out) override;
    bool apply(int n) override;

    // The output whose modes are listed (empty when there is none); for diagnostics.
    std::string outputName();
    // Requests that waited for a reply since the last call (tests and benchmarks).
    int takeRoundTrips();

private:
    struct Private;
    std::mutex mutex;
    std::unique_ptr<Private> d;
};
