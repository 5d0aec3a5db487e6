#include "DisplayBackend.h"

DisplayBackend::OutputState DisplayBackend::stateOf(const std::vector<DisplayOutput> &outputs,
                                                    const std::string &name, const DisplayOutput **found)
{
    for (const DisplayOutput &o : outputs) {
        if (o.name != name)
            continue;
        if (found)
            *found = &o;
        switch (o.state) {
        case DisplayOutput::State::Active:
            return OutputState::Active;
        case DisplayOutput::State::Off:
            return OutputState::Off;
        case DisplayOutput::State::Unreadable:
            return OutputState::Unreadable;
        }
    }
    if (found)
        *found = nullptr;
    return OutputState::Absent;
}

int DisplayBackend::modeFor(const std::vector<DisplayMode> &modes, const DisplayOutput &output,
                            const DisplayMode &wanted)
{
    if (output.state == DisplayOutput::State::Active && output.current == wanted)
        return InUse;
    for (int n = 0; n < int(modes.size()); ++n) {
        if (modes[size_t(n)] == wanted)
            return n;
    }
    return Unlisted;
}

DisplayBackend::ApplyResult DisplayBackend::check(const DisplayOutput *output, const std::vector<DisplayMode> &modes,
                                                  const DisplayMode &wanted, int *number)
{
    *number = Unlisted;
    if (!output)
        return ApplyResult::Absent;
    if (output->state == DisplayOutput::State::Off)
        return ApplyResult::Off;
    *number = modeFor(modes, *output, wanted);
    if (*number == Unlisted && !output->takesUnlisted)
        return ApplyResult::NotOffered;
    return ApplyResult::Applied;
}

DisplayBackend::ApplyResult DisplayBackend::onceMoreWhenStale(const std::function<ApplyResult(bool *stale)> &attempt)
{
    bool stale = false;
    const ApplyResult result = attempt(&stale);
    // Somebody changed the configuration between the read and the request: once more on what
    // it is now.
    return stale ? attempt(&stale) : result;
}

std::string DisplayBackend::pinOutput()
{
    std::vector<DisplayOutput> outputs;
    std::string name;
    if (readOutputs(outputs)) {
        for (const DisplayOutput &o : outputs) {
            if (o.primary && o.state != DisplayOutput::State::Off)
                name = o.name;
        }
        for (const DisplayOutput &o : outputs) {
            if (name.empty() && o.state != DisplayOutput::State::Off)
                name = o.name;
        }
    }
    pinOutputNamed(name);
    return name;
}

void DisplayBackend::pinOutputNamed(const std::string &name)
{
    std::lock_guard<std::mutex> lock(pinMutex);
    pinned = name;
}

std::string DisplayBackend::pinnedOutput()
{
    std::lock_guard<std::mutex> lock(pinMutex);
    return pinned;
}

bool DisplayBackend::mode(int n, DisplayMode &out)
{
    std::vector<DisplayMode> modes;
    const std::string name = pinnedOutput();
    if (n < 0 || name.empty() || !readModes(name, modes) || n >= int(modes.size()))
        return false;
    out = modes[size_t(n)];
    return true;
}

DisplayBackend::OutputState DisplayBackend::current(DisplayMode &out)
{
    std::vector<DisplayOutput> outputs;
    if (!readOutputs(outputs))
        return OutputState::Unreadable;
    const DisplayOutput *o = nullptr;
    const OutputState state = stateOf(outputs, pinnedOutput(), &o);
    if (state == OutputState::Active)
        out = o->current;
    return state;
}

DisplayBackend::OutputState DisplayBackend::availability(const DisplayMode &mode)
{
    std::vector<DisplayOutput> outputs;
    if (!readOutputs(outputs))
        return OutputState::Unreadable;
    const std::string name = pinnedOutput();
    const DisplayOutput *o = nullptr;
    const OutputState state = stateOf(outputs, name, &o);
    if (state != OutputState::Active)
        return state;
    std::vector<DisplayMode> modes;
    if (!readModes(name, modes))
        return OutputState::Unreadable;
    int number = -1;
    return check(o, modes, mode, &number) == ApplyResult::Applied ? OutputState::Active : OutputState::NotOffered;
}

DisplayBackend::ApplyResult DisplayBackend::apply(const DisplayMode &mode)
{
    const std::string name = pinnedOutput();
    if (name.empty())
        return ApplyResult::Absent;
    return applyModes({{name, mode}});
}
