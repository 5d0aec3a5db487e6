#pragma once

#include "DisplayBackend.h"

#include <memory>
#include <string>

// KDE Plasma on Wayland (KWin) through kde_output_device_v2 and kde_output_management_v2 on a
// Wayland connection of its own. The pinned device is found by name; its modes in the order
// KWin announced them are the mode numbering. A configuration names the pinned device and its
// mode only, so KWin keeps everything else of the layout as it is.
class KdeDisplayBackend : public DisplayBackend
{
public:
    // display: a socket name or path; empty means $WAYLAND_DISPLAY.
    explicit KdeDisplayBackend(const std::string &display = std::string());
    ~KdeDisplayBackend() override;

    // Whether the compositor offers KDE's output management and devices.
    bool offered();

    std::string pinOutput() override;
    bool mode(int n, DisplayMode &out) override;
    OutputState current(DisplayMode &out) override;
    OutputState availability(const DisplayMode &mode) override;
    ApplyResult apply(const DisplayMode &mode) override;
    void setChangeCallback(std::function<void()> callback) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
