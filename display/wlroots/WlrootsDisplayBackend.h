#pragma once

#include "WaylandDisplayBackend.h"

#include <memory>
#include <string>

// wlroots compositors (sway, Hyprland, river, labwc, wayfire, phoc) through
// zwlr_output_manager_v1. Heads are found by name; their modes in the order the compositor
// announced them are the mode numbering. Every configuration sent names every head, the
// changed ones with their new mode, place, transform and scale, the others as they stand.
class WlrootsDisplayBackend : public WaylandDisplayBackend
{
public:
    // display: a socket name or path; empty means $WAYLAND_DISPLAY.
    explicit WlrootsDisplayBackend(const std::string &display = std::string());
    ~WlrootsDisplayBackend() override;

    // Whether the compositor offers the output manager.
    bool offered();
    LayoutFeatures features() const override;

protected:
    void forget() override;
    bool served() const override;
    std::vector<WaylandOutput *> outputs() override;
    void describe(const WaylandOutput &output, DisplayOutput &out) override;
    bool takesUnlisted(const WaylandOutput &output) const override;
    void sayNoneInUse(size_t count) override;
    Answer send(std::unique_lock<std::mutex> &held, const std::vector<Change> &changes) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
