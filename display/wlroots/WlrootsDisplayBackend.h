#pragma once

#include "DisplayBackend.h"

#include <memory>
#include <string>

// wlroots compositors (sway, Hyprland, river, labwc, wayfire, phoc) through
// zwlr_output_manager_v1 on a Wayland connection of its own. The pinned head is found by name;
// its modes in the order the compositor announced them are the mode numbering. Every
// configuration sent names every head as it stands, so only the pinned head's mode changes.
class WlrootsDisplayBackend : public DisplayBackend
{
public:
    // display: a socket name or path; empty means $WAYLAND_DISPLAY.
    explicit WlrootsDisplayBackend(const std::string &display = std::string());
    ~WlrootsDisplayBackend() override;

    // Whether the compositor offers the output manager.
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
