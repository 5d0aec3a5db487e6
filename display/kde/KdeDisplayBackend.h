#pragma once

#include "WaylandDisplayBackend.h"

#include <memory>
#include <string>

// KDE Plasma on Wayland (KWin) through kde_output_device_v2 and kde_output_management_v2.
// Devices are found by name; their modes in the order KWin announced them are the mode
// numbering. The primary is the first of KWin's output order (kde_output_order_v1), else the one
// kde_primary_output_v1 names. A configuration names the changed devices and what changes of
// them only, so KWin keeps everything else of the layout as it is; a new primary names every
// device's place in the order.
class KdeDisplayBackend : public WaylandDisplayBackend
{
public:
    // display: a socket name or path; empty means $WAYLAND_DISPLAY.
    explicit KdeDisplayBackend(const std::string &display = std::string());
    ~KdeDisplayBackend() override;

    // Whether the compositor offers KDE's output management and devices.
    bool offered();
    LayoutFeatures features() const override;

protected:
    void forget() override;
    bool served() const override;
    std::vector<WaylandOutput *> outputs() override;
    void describe(const WaylandOutput &output, DisplayOutput &out) override;
    void sayNoneInUse(size_t count) override;
    Answer send(std::unique_lock<std::mutex> &held, const std::vector<Change> &changes) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
