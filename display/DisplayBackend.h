#pragma once

#include "DisplayMode.h"

#include <memory>

// The three things the catalogue needs from a platform, numbered the way the platform lists
// modes. Implementations are called from the GUI thread and the lock thread at once and must
// be safe for that. Qt-free on purpose: see DisplayMode.h.
class DisplayBackend
{
public:
    // Used for "the current settings" wherever a mode number is expected.
    static constexpr int CurrentSettings = -1;

    virtual ~DisplayBackend() = default;

    // Mode n (n >= 0), or the settings now in force (n == CurrentSettings).
    // False when there is no mode n, or the current settings cannot be read.
    virtual bool mode(int n, DisplayMode &out) = 0;

    // Switches the display to mode n at once (CurrentSettings: re-applies the settings in
    // force). True only when the platform accepted the change.
    virtual bool apply(int n) = 0;

    // The backend for this platform. VELMORA_FAKE_DISPLAY=<file.json> selects the scripted
    // fake instead (tests, and running the program without touching a real display).
    static std::unique_ptr<DisplayBackend> create();
};
