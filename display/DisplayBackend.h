#pragma once

#include "DisplayMode.h"

#include <functional>
#include <map>
#include <optional>
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
    // Its place in the layout (top left corner), rotation and reflection, and scale, where the
    // platform has them (see DisplayBackend::features()); else 0, Normal and 1.
    int x = 0;
    int y = 0;
    int transform = 0; // a Transform
    double scale = 1.0;
    // Whether it takes modes it does not list (as custom modes).
    bool takesUnlisted = false;
};

// Rotation and reflection as Wayland numbers them (Mutter and KWin alike): a turn of 0, 90, 180
// or 270 degrees counter-clockwise, then the same after a flip around the vertical axis.
enum Transform { Normal, Rotated90, Rotated180, Rotated270, Flipped, Flipped90, Flipped180, Flipped270 };

// What of an arrangement a platform reads and sets; the rest reads as 0, Normal, 1, false.
struct LayoutFeatures
{
    bool position = false;
    bool transform = false;
    bool scale = false;
    bool primary = false;
};

// One output's new mode in an apply.
struct ModeChange
{
    std::string output;
    DisplayMode mode;
};

// What an apply changes of one output; what is not set stays as it is. Primary is only ever
// given: the output named so takes it from the one that had it.
struct OutputChange
{
    std::string output;
    std::optional<DisplayMode> mode;
    std::optional<std::pair<int, int>> position;
    std::optional<int> transform;
    std::optional<double> scale;
    bool primary = false;
};

// An apply as the shared layer planned it from one read: every output as it was read, and for
// each output that changes what it is to become. A backend only commits it.
struct ApplyPlan
{
    struct Output
    {
        DisplayOutput now;    // as read
        DisplayOutput wanted; // what it becomes: now, with the changes
        // Which mode of its list (the one in use: InUse; a custom one: Unlisted).
        int modeNumber = -2;
        bool modeChanges = false;
        bool moves = false;
        bool turns = false;
        bool rescales = false;
        bool primaryChanges = false;
    };
    std::vector<DisplayOutput> outputs; // every connected output, in the platform's order
    std::vector<Output> changes;         // each output at most once, in the order first named

    const Output *find(const std::string &name) const;
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

    // One read of every output and of the mode lists of the `named` ones (those that are
    // there): readOutputs() and then readModes() for each, unless the platform has both from
    // one read. False when the display system cannot be asked.
    virtual bool readWithModes(std::vector<DisplayOutput> &outputs, const std::vector<std::string> &named,
                               std::map<std::string, std::vector<DisplayMode>> &modes);

    // What of an arrangement the platform reads and sets.
    virtual LayoutFeatures features() const { return {}; }

    // Called, from any thread, when the platform announces a change of the display
    // configuration. Platforms whose changes reach Qt's screen signals need not announce.
    virtual void setChangeCallback(std::function<void()> callback) { (void)callback; }

    // --- Written once for every platform ---------------------------------------------------

    // Applies `changes` in one configuration where the platform takes one: one read, each
    // change checked, the changes of one output merged (a later one wins), then one commit of
    // what differs from what was read; nothing differing commits nothing. Outputs not named
    // are left as they are, except the one that loses primary. Nothing is applied unless every
    // change can be: an output that is off or absent, or does not offer the mode, makes the
    // whole apply answer why. What the platform lacks (see features()) is left out. An output
    // that is on but whose mode cannot be read changes only to a mode it lists; it keeps what
    // else it has.
    ApplyResult apply(const std::vector<OutputChange> &changes);
    // The same for modes alone: each output into the first mode it lists with the given
    // values (the mode it is in, when that one has them: a re-apply keeps its own timing).
    ApplyResult applyModes(const std::vector<ModeChange> &changes);
    // The plan apply() commits, from `outputs` and the `modes` of the changed ones as just
    // read; Applied with an empty plan when nothing differs.
    ApplyResult plan(const std::vector<DisplayOutput> &outputs,
                     const std::map<std::string, std::vector<DisplayMode>> &modes,
                     const std::vector<OutputChange> &changes, ApplyPlan &plan) const;

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

    // The primary, else the first connected output that is on; empty when there is none.
    static std::string primaryOf(const std::vector<DisplayOutput> &outputs);

protected:
    // Sends the plan to the platform as one configuration; `stale`: the configuration changed
    // since the plan's read (then the apply reads and plans once more). Outputs the plan does
    // not change are named as they are where the platform wants every one named.
    virtual ApplyResult commit(const ApplyPlan &plan, bool *stale) = 0;
};
