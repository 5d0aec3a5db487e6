#pragma once

#include "DisplayMode.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

// One output as one read of the configuration shows it.
struct DisplayOutput
{
    enum class State {
        Active,     // on, in a mode that could be read
        Off,        // connected but driven by nothing
        Unreadable, // on, but its mode cannot be read now
    };

    std::string name;     // the connector as the platform names it: DP-1, DUMMY0, \\.\DISPLAY2
    std::string identity; // the monitor's own: maker, product code and serial; empty when unknown
    bool hasSerial = false; // whether `identity` tells two monitors of one model apart
    std::string label;    // maker and model, for people; may be empty
    bool primary = false;
    State state = State::Off;
    DisplayMode current;  // when Active
    // Whether it takes modes it does not list (as custom modes).
    bool takesUnlisted = false;
};

// One output's new mode in an apply.
struct ModeChange
{
    std::string output;
    DisplayMode mode;
};

// What the program needs from a platform: every connected output with its state and the
// monitor on it, one output's mode list, and one apply of a set of (output, mode) pairs. Nothing
// here ever switches an output on or off or touches an output that an apply does not name.
// Implementations are called from the GUI thread and the lock thread at once and must be safe
// for that. Qt-free on purpose: see DisplayMode.h.
class DisplayBackend
{
public:
    // How one output stands right now.
    enum class OutputState {
        Active,     // on, in a mode
        Off,        // present but driven by nothing (no CRTC)
        Absent,     // unplugged, or not known to the platform any more
        NotOffered, // on, but the mode asked about is not in its list now
        Unreadable, // the display system cannot be asked (server gone, no display at all)
    };
    enum class ApplyResult { Applied, Refused, NotOffered, Off, Absent, Failed };

    virtual ~DisplayBackend() = default;

    // --- What every platform provides -----------------------------------------------------

    // One read of the whole configuration: every connected output, in the platform's order.
    // False when the display system cannot be asked.
    virtual bool readOutputs(std::vector<DisplayOutput> &outputs) = 0;

    // The named output's modes as the platform numbers them now (mode n is modes[n]). False
    // when the output is not there or the display system cannot be asked.
    virtual bool readModes(const std::string &output, std::vector<DisplayMode> &modes) = 0;

    // Puts every named output into the first mode it lists with the given values (the mode it
    // is in, when that one has them: a re-apply keeps its own timing), in one configuration
    // where the platform takes one. Outputs not named are left as they are. Nothing is
    // applied unless every change can be: an output that is off or absent, or does not offer
    // the values, makes the whole apply answer why.
    virtual ApplyResult applyModes(const std::vector<ModeChange> &changes) = 0;

    // Called, from any thread, when the platform announces a change of the display
    // configuration. Platforms whose changes reach Qt's screen signals need not announce.
    virtual void setChangeCallback(std::function<void()> callback) { (void)callback; }

    // --- Written once for every platform ---------------------------------------------------

    // How `name` stands in `outputs`; `found` gets it when it is there.
    static OutputState stateOf(const std::vector<DisplayOutput> &outputs, const std::string &name,
                               const DisplayOutput **found = nullptr);
    // Which mode to switch to for `wanted`: InUse when the mode in use has these values (a
    // re-apply keeps its own timing), else the number of the first listed, else Unlisted.
    static constexpr int InUse = -2;
    static constexpr int Unlisted = -1;
    static int modeFor(const std::vector<DisplayMode> &modes, const DisplayOutput &output, const DisplayMode &wanted);
    // Whether `output` (null: absent) can take `wanted` now; `number` gets modeFor()'s answer
    // (Unlisted only for an output that takes unlisted modes).
    static ApplyResult check(const DisplayOutput *output, const std::vector<DisplayMode> &modes,
                             const DisplayMode &wanted, int *number);
    // Runs `attempt` once more when it found the configuration changed since its read
    // (a stale serial or timestamp): then it reads again and sends anew.
    static ApplyResult onceMoreWhenStale(const std::function<ApplyResult(bool *stale)> &attempt);

    // --- One output: the one pinned, by its connector ---------------------------------------

    // Pins the primary, else the first connected output that is on, and returns its name;
    // empty when there is none (then nothing is listed, read or applied).
    std::string pinOutput();
    void pinOutputNamed(const std::string &name);
    std::string pinnedOutput();
    // Mode n (n >= 0) of the pinned output's list. False when there is no mode n.
    bool mode(int n, DisplayMode &out);
    // The mode the pinned output is in: Active with `out` set, or why there is none.
    OutputState current(DisplayMode &out);
    // Whether the pinned output could be put into a mode with these values now.
    OutputState availability(const DisplayMode &mode);
    // Puts the pinned output into these values.
    ApplyResult apply(const DisplayMode &mode);

private:
    std::mutex pinMutex;
    std::string pinned;
};
