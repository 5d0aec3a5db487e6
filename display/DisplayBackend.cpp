#include "DisplayBackend.h"

#include <cmath>

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

std::string DisplayBackend::primaryOf(const std::vector<DisplayOutput> &outputs)
{
    for (const DisplayOutput &o : outputs) {
        if (o.primary && o.state != DisplayOutput::State::Off)
            return o.name;
    }
    for (const DisplayOutput &o : outputs) {
        if (o.state != DisplayOutput::State::Off)
            return o.name;
    }
    return std::string();
}

const ApplyPlan::Output *ApplyPlan::find(const std::string &name) const
{
    for (const Output &o : changes) {
        if (o.now.name == name)
            return &o;
    }
    return nullptr;
}

namespace {

// The changes of one output as one: what a later change sets wins.
std::vector<OutputChange> merged(const std::vector<OutputChange> &changes)
{
    std::vector<OutputChange> all;
    for (const OutputChange &c : changes) {
        OutputChange *into = nullptr;
        for (OutputChange &m : all) {
            if (m.output == c.output)
                into = &m;
        }
        if (!into) {
            all.push_back(c);
            continue;
        }
        if (c.mode)
            into->mode = c.mode;
        if (c.position)
            into->position = c.position;
        if (c.transform)
            into->transform = c.transform;
        if (c.scale)
            into->scale = c.scale;
        into->primary = into->primary || c.primary;
    }
    return all;
}

} // namespace

bool DisplayBackend::readWithModes(std::vector<DisplayOutput> &outputs, const std::vector<std::string> &named,
                                   std::map<std::string, std::vector<DisplayMode>> &modes)
{
    modes.clear();
    if (!readOutputs(outputs))
        return false;
    for (const std::string &name : named) {
        const DisplayOutput *o = nullptr;
        stateOf(outputs, name, &o);
        std::vector<DisplayMode> listed;
        if (o && o->state != DisplayOutput::State::Off && readModes(name, listed))
            modes[name] = listed;
    }
    return true;
}

DisplayBackend::ApplyResult DisplayBackend::plan(const std::vector<DisplayOutput> &outputs,
                                                 const std::map<std::string, std::vector<DisplayMode>> &modes,
                                                 const std::vector<OutputChange> &changes, ApplyPlan &plan) const
{
    plan.outputs = outputs;
    plan.changes.clear();
    const LayoutFeatures has = features();
    std::string newPrimary;
    for (const OutputChange &c : merged(changes)) {
        const DisplayOutput *o = nullptr;
        stateOf(outputs, c.output, &o);
        if (!o)
            return ApplyResult::Absent;
        if (o->state == DisplayOutput::State::Off)
            return ApplyResult::Off;
        ApplyPlan::Output p;
        p.now = *o;
        p.wanted = *o;
        p.modeNumber = InUse;
        if (c.mode) {
            const auto listed = modes.find(o->name);
            if (listed == modes.end())
                return ApplyResult::Failed;
            const ApplyResult why = check(o, listed->second, *c.mode, &p.modeNumber);
            if (why != ApplyResult::Applied)
                return why;
            p.wanted.current = *c.mode;
            p.modeChanges = p.modeNumber != InUse;
        }
        if (has.position && c.position) {
            p.wanted.x = c.position->first;
            p.wanted.y = c.position->second;
            p.moves = p.wanted.x != o->x || p.wanted.y != o->y;
        }
        if (has.transform && c.transform) {
            p.wanted.transform = *c.transform;
            p.turns = p.wanted.transform != o->transform;
        }
        if (has.scale && c.scale && *c.scale > 0) {
            p.wanted.scale = *c.scale;
            p.rescales = std::fabs(p.wanted.scale - o->scale) > 1e-4;
        }
        if (has.primary && c.primary) {
            p.wanted.primary = true;
            p.primaryChanges = !o->primary;
            newPrimary = o->name;
        }
        if (p.modeChanges || p.moves || p.turns || p.rescales || p.primaryChanges)
            plan.changes.push_back(p);
    }
    // One primary: the one that had it gives it up.
    bool primaryMoves = false;
    for (const ApplyPlan::Output &p : plan.changes)
        primaryMoves = primaryMoves || p.primaryChanges;
    for (const DisplayOutput &o : outputs) {
        if (!primaryMoves || !o.primary || o.name == newPrimary)
            continue;
        ApplyPlan::Output *p = nullptr;
        for (ApplyPlan::Output &each : plan.changes) {
            if (each.now.name == o.name)
                p = &each;
        }
        if (!p) {
            plan.changes.push_back({o, o, InUse});
            p = &plan.changes.back();
        }
        p->wanted.primary = false;
        p->primaryChanges = true;
    }
    return ApplyResult::Applied;
}

DisplayBackend::ApplyResult DisplayBackend::apply(const std::vector<OutputChange> &changes)
{
    return onceMoreWhenStale([&](bool *stale) {
        *stale = false;
        std::vector<DisplayOutput> outputs;
        std::vector<std::string> named;
        for (const OutputChange &c : changes) {
            if (c.mode)
                named.push_back(c.output);
        }
        std::map<std::string, std::vector<DisplayMode>> modes;
        if (!readWithModes(outputs, named, modes))
            return ApplyResult::Failed;
        ApplyPlan planned;
        const ApplyResult why = plan(outputs, modes, changes, planned);
        if (why != ApplyResult::Applied || planned.changes.empty())
            return why;
        return commit(planned, stale);
    });
}

DisplayBackend::ApplyResult DisplayBackend::applyModes(const std::vector<ModeChange> &changes)
{
    std::vector<OutputChange> all;
    for (const ModeChange &c : changes) {
        OutputChange change;
        change.output = c.output;
        change.mode = c.mode;
        all.push_back(change);
    }
    return apply(all);
}
