#pragma once

#include "DisplayMode.h"
#include "RefreshRate.h"

#include <string>
#include <vector>

// What the Wayland output-management protocols say of a mode, as the program names modes:
// sizes and refresh in mHz, no depth (outputs scan out 32 bits a pixel).
struct WaylandMode
{
    int width = 0;
    int height = 0;
    int refresh = 0; // mHz; 0 when the compositor does not say
    bool preferred = false;

    DisplayMode values() const { return DisplayMode{width, height, 32, RefreshRate::wholeHz(refresh / 1000.0)}; }
};

// An output as a protocol describes it. The modes belong to the protocol's own code, which
// derives from both structs to keep its objects alongside.
struct WaylandOutput
{
    std::string name;
    bool enabled = false;
    std::vector<WaylandMode *> modes; // in the order announced
    WaylandMode *current = nullptr;   // as last said, kept while the output is off
    // Its place, transform (wl_output numbering) and scale, as last said.
    int x = 0;
    int y = 0;
    int transform = 0;
    double scale = 1.0;
};
