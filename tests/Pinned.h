#pragma once

#include "DisplayBackend.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

// One output of a backend pinned by its connector, for tests and benchmarks that look at one
// output: its modes, its mode, and applies to it. Qt-free, for the Windows display test too.
class PinnedOutput
{
public:
    explicit PinnedOutput(DisplayBackend &backend) : backend(&backend) {}
    using OutputState = DisplayBackend::OutputState;
    using ApplyResult = DisplayBackend::ApplyResult;

    // Pins the primary, else the first connected output that is on, and returns its name;
    // empty when there is none.
    std::string pinOutput()
    {
        std::vector<DisplayOutput> outputs;
        if (!backend->readOutputs(outputs))
            outputs.clear();
        const std::string name = DisplayBackend::primaryOf(outputs);
        pinOutputNamed(name);
        return name;
    }
    void pinOutputNamed(const std::string &name)
    {
        std::lock_guard<std::mutex> lock(pinMutex);
        pinned = name;
    }
    std::string pinnedOutput()
    {
        std::lock_guard<std::mutex> lock(pinMutex);
        return pinned;
    }
    // Mode n of the pinned output's list; false when there is none.
    bool mode(int n, DisplayMode &out)
    {
        std::vector<DisplayMode> modes;
        const std::string name = pinnedOutput();
        if (n < 0 || name.empty() || !backend->readModes(name, modes) || n >= int(modes.size()))
            return false;
        out = modes[size_t(n)];
        return true;
    }
    // The mode the pinned output is in: Active with `out` set, or why there is none.
    OutputState current(DisplayMode &out)
    {
        std::vector<DisplayOutput> outputs;
        if (!backend->readOutputs(outputs))
            return OutputState::Unreadable;
        const DisplayOutput *o = nullptr;
        const OutputState state = DisplayBackend::stateOf(outputs, pinnedOutput(), &o);
        if (state == OutputState::Active)
            out = o->current;
        return state;
    }
    // Whether the pinned output could be put into these values now.
    OutputState availability(const DisplayMode &wanted)
    {
        std::vector<DisplayOutput> outputs;
        if (!backend->readOutputs(outputs))
            return OutputState::Unreadable;
        const std::string name = pinnedOutput();
        const DisplayOutput *o = nullptr;
        const OutputState state = DisplayBackend::stateOf(outputs, name, &o);
        if (state != OutputState::Active)
            return state;
        std::vector<DisplayMode> modes;
        if (!backend->readModes(name, modes))
            return OutputState::Unreadable;
        int number = -1;
        return DisplayBackend::check(o, modes, wanted, &number) == ApplyResult::Applied ? OutputState::Active
                                                                                      : OutputState::NotOffered;
    }
    ApplyResult apply(const DisplayMode &wanted)
    {
        const std::string name = pinnedOutput();
        if (name.empty())
            return ApplyResult::Absent;
        return backend->applyModes({{name, wanted}});
    }

private:
    DisplayBackend *backend;
    std::mutex pinMutex;
    std::string pinned;
};

// A backend that is its own PinnedOutput.
template<class Backend>
class Pinned : public Backend, public PinnedOutput
{
public:
    template<typename... Args>
    explicit Pinned(Args &&...args) : Backend(std::forward<Args>(args)...), PinnedOutput(static_cast<DisplayBackend &>(*this))
    {
    }
    using Backend::apply;
    using PinnedOutput::apply;
    using PinnedOutput::current;
    using OutputState = DisplayBackend::OutputState;
    using ApplyResult = DisplayBackend::ApplyResult;
};
