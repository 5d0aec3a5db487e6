#pragma once

#include "WaylandDisplayBackend.h"

#include <memory>
#include <string>

// KDE Plasma on Wayland (KWin) through kde_output_device_v2 and kde_output_management_v2. The
// pinned device is found by name; its modes in the order KWin announced them are the mode
// numbering. A configuration names the pinned device and its mode only, so KWin keeps
// everything else of the layout as it is.
class KdeDisplayBackend : public WaylandDisplayBackend
{
public:
    // display: a socket name or path; empty means $WAYLAND_DISPLAY.
    explicit KdeDisplayBackend(const std::string &display = std::string());
    ~KdeDisplayBackend() override;

    // Whether the compositor offers KDE's output management and devices.
    bool offered();

    std::string pinOutput() override;

protected:
    bool served() const override;
    WaylandOutput *output(const std::string &name) override;
    Answer send(std::unique_lock<std::mutex> &held, WaylandOutput &pin, WaylandMode *target,
                const DisplayMode &wanted) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
