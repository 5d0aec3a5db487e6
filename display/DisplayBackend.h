#pragma once

#include "DisplayMode.h"

#include <functional>
#include <memory>
#include <string>

// What the catalogue needs from a platform, for one output: the one that was primary when the
// catalogue was built, named by the platform's stable name. Every read and apply goes to that
// output, whichever output is primary later, and none ever touches another output or switches
// one on or off. Implementations are called from the GUI thread and the lock thread at once and
// must be safe for that. Qt-free on purpose: see DisplayMode.h.
class DisplayBackend
{
public:
    // How the pinned output stands right now.
    enum class OutputState {
        Active,     // on, in a mode
        Off,        // present but driven by nothing (no CRTC)
        Absent,     // unplugged, or not known to the platform any more
        NotOffered, // on, but the mode asked about is not in its list now
        Unreadable, // the display system cannot be asked (server gone, no display at all)
    };
    enum class ApplyResult { Applied, Refused, NotOffered, Off, Absent, Failed };

    virtual ~DisplayBackend() = default;

    // Chooses the output that every later call serves: the primary, else the first connected
    // output that is on. Called once, before the catalogue lists the modes. Returns its name;
    // empty when there is none (then nothing is listed, read or applied).
    virtual std::string pinOutput() = 0;

    // Mode n (n >= 0) of the pinned output's list as the platform numbers it now.
    // False when there is no mode n.
    virtual bool mode(int n, DisplayMode &out) = 0;

    // The mode the pinned output is in: Active with `out` set, or why there is none.
    virtual OutputState current(DisplayMode &out) = 0;

    // Whether the pinned output could be put into a mode with these values now: Active when it
    // is on and lists one, else why not.
    virtual OutputState availability(const DisplayMode &mode) = 0;

    // Puts the pinned output into the first mode it lists now with these four values (the
    // mode it is in, when that one has them: a re-apply keeps its own timing). Nothing is
    // applied to an output that is off or absent.
    virtual ApplyResult apply(const DisplayMode &mode) = 0;

    // Called, from any thread, when the platform announces a change of the display
    // configuration. Platforms whose changes reach Qt's screen signals need not announce.
    virtual void setChangeCallback(std::function<void()> callback) { (void)callback; }

    // The backend for this platform, chosen here and nowhere else.
    // VELMORA_FAKE_DISPLAY=<file.json> selects the scripted fake instead (tests, and running
    // the program without touching a real display). VELMORA_DISPLAY_BACKEND=gnome|x11|kde|wlroots
    // forces one. Null, said in a diagnostic line, where no platform is served (no real RandR,
    // no GNOME Mutter, no Wayland output management, no display at all).
    static std::unique_ptr<DisplayBackend> create();
};
