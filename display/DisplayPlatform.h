#pragma once

#include "DisplayBackend.h"

#include <memory>

// Chooses the display platform of this session, here and nowhere else.
class DisplayPlatform
{
public:
    // VELMORA_FAKE_DISPLAY=<file.json> selects the scripted fake instead (tests, and running
    // the program without touching a real display). VELMORA_DISPLAY_BACKEND=gnome|x11|kde|wlroots
    // forces one. Null, said in a diagnostic line, where no platform is served (no real RandR,
    // no GNOME Mutter, no Wayland output management, no display at all).
    static std::unique_ptr<DisplayBackend> create();
};
