#pragma once

#include "DisplayMode.h"
#include "RefreshRate.h"

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

// The mode to switch to for these values: the one in use when it has them (a re-apply keeps its
// own timing), else the first listed; null when none has them. Mode is a WaylandMode or derived.
template <typename Mode>
Mode *waylandModeFor(const std::vector<Mode *> &modes, Mode *current, const DisplayMode &wanted)
{
    if (current && current->values() == wanted)
        return current;
    for (Mode *m : modes) {
        if (m->values() == wanted)
            return m;
    }
    return nullptr;
}
