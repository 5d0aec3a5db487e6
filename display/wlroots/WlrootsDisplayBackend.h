#pragma once

#include "WaylandDisplayBackend.h"

#include <memory>
#include <string>

// wlroots compositors (sway, Hyprland, river, labwc, wayfire, phoc) through
// zwlr_output_manager_v1. The pinned head is found by name; its modes in the order the
// compositor announced them are the mode numbering. Every configuration sent names every head
// as it stands, so only the pinned head's mode changes.
class WlrootsDisplayBackend : public WaylandDisplayBackend
{
public:
    // display: a socket name or path; empty means $WAYLAND_DISPLAY.
    explicit WlrootsDisplayBackend(const std::string &display = std::string());
    ~WlrootsDisplayBackend() override;

    // Whether the compositor offers the output manager.
    bool offered();

    std::string pinOutput() override;

protected:
    bool served() const override;
    WaylandOutput *output(const std::string &name) override;
    bool takesUnlisted(const WaylandOutput &output) const override;
    Answer send(std::unique_lock<std::mutex> &held, WaylandOutput &pin, WaylandMode *target,
                const DisplayMode &wanted) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
