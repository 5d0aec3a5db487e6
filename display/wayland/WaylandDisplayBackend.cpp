#include "WaylandDisplayBackend.h"

bool WaylandDisplayBackend::refresh(std::unique_lock<std::mutex> &held)
{
    return served() && connection->roundtrip(held);
}

DisplayBackend::OutputState WaylandDisplayBackend::readPinned(std::unique_lock<std::mutex> &held, WaylandOutput **out)
{
    if (!refresh(held))
        return OutputState::Unreadable;
    *out = output(pinned);
    if (!*out)
        return OutputState::Absent;
    return (*out)->enabled ? OutputState::Active : OutputState::Off;
}

bool WaylandDisplayBackend::mode(int n, DisplayMode &out)
{
    auto held = connection->lock();
    if (n < 0 || !refresh(held))
        return false;
    const WaylandOutput *o = output(pinned);
    if (!o || n >= int(o->modes.size()))
        return false;
    out = o->modes[n]->values();
    return true;
}

DisplayBackend::OutputState WaylandDisplayBackend::current(DisplayMode &out)
{
    auto held = connection->lock();
    WaylandOutput *o = nullptr;
    const OutputState state = readPinned(held, &o);
    if (state != OutputState::Active)
        return state;
    if (!o->current)
        return OutputState::Unreadable;
    out = o->current->values();
    return OutputState::Active;
}

DisplayBackend::OutputState WaylandDisplayBackend::availability(const DisplayMode &mode)
{
    auto held = connection->lock();
    WaylandOutput *o = nullptr;
    const OutputState state = readPinned(held, &o);
    if (state != OutputState::Active)
        return state;
    return o->modeFor(mode) || takesUnlisted(*o) ? OutputState::Active : OutputState::NotOffered;
}

DisplayBackend::ApplyResult WaylandDisplayBackend::applyOnce(std::unique_lock<std::mutex> &held,
                                                             const DisplayMode &wanted, bool *stale)
{
    *stale = false;
    WaylandOutput *pin = nullptr;
    switch (readPinned(held, &pin)) {
    case OutputState::Active:
        break;
    case OutputState::Absent:
        return ApplyResult::Absent;
    case OutputState::Off:
        return ApplyResult::Off;
    default:
        return ApplyResult::Failed;
    }
    WaylandMode *target = pin->modeFor(wanted);
    if (!target && !takesUnlisted(*pin))
        return ApplyResult::NotOffered;
    switch (send(held, *pin, target, wanted)) {
    case Answer::Applied:
        // What the compositor announces after taking it.
        refresh(held);
        return ApplyResult::Applied;
    case Answer::Refused:
        return ApplyResult::Refused;
    case Answer::Stale:
        *stale = true;
        break;
    case Answer::Failed:
        break;
    }
    return ApplyResult::Failed;
}

DisplayBackend::ApplyResult WaylandDisplayBackend::apply(const DisplayMode &mode)
{
    auto held = connection->lock();
    if (pinned.empty())
        return ApplyResult::Absent;
    bool stale = false;
    ApplyResult result = applyOnce(held, mode, &stale);
    // Somebody changed the configuration between the read and the request: once more on what
    // it is now.
    if (stale)
        result = applyOnce(held, mode, &stale);
    return result;
}

void WaylandDisplayBackend::setChangeCallback(std::function<void()> callback)
{
    connection->setChangeCallback(std::move(callback));
}
