#include "WaylandDisplayBackend.h"

#include <QDebug>
#include <QString>

#include <algorithm>

void WaylandDisplayBackend::open(const std::string &display, WaylandConnection::Handlers h, const char *t)
{
    displayName = display;
    handlers = std::move(h);
    tag = t;
    connection = std::make_unique<WaylandConnection>(displayName, handlers);
    connection->start();
    noteConnection();
}

void WaylandDisplayBackend::noteConnection()
{
    bool alive = false;
    {
        auto held = connection->lock();
        alive = connection->isAlive();
    }
    backoffMs = alive ? 0 : std::min(std::max(2 * backoffMs, FirstBackoffMs), MaxBackoffMs);
    retryAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(backoffMs);
}

std::shared_lock<std::shared_mutex> WaylandDisplayBackend::use()
{
    std::shared_lock<std::shared_mutex> shared(replacing);
    {
        auto held = connection->lock();
        if (connection->isAlive())
            return shared;
    }
    shared.unlock();
    // Ended outside the lock: its reading thread may be telling of the loss, and whoever it
    // tells may call in.
    std::unique_ptr<WaylandConnection> old;
    {
        std::unique_lock<std::shared_mutex> exclusive(replacing);
        bool lost = false;
        {
            auto held = connection->lock();
            lost = !connection->isAlive();
            if (lost)
                forget();
        }
        if (lost && std::chrono::steady_clock::now() >= retryAt) {
            old = std::move(connection);
            connection = std::make_unique<WaylandConnection>(displayName, handlers);
            {
                std::lock_guard<std::mutex> guard(callbackMutex);
                connection->setChangeCallback(changeCallback);
            }
            connection->start();
            noteConnection();
            if (backoffMs == 0) {
                qDebug().noquote() << QStringLiteral("%1: the Wayland connection was lost; connected anew").arg(
                    QString::fromLatin1(tag));
            }
        }
    }
    old.reset();
    shared.lock();
    return shared;
}

bool WaylandDisplayBackend::refresh(std::unique_lock<std::mutex> &held)
{
    return served() && connection->roundtrip(held);
}

WaylandOutput *WaylandDisplayBackend::output(const std::string &name)
{
    if (name.empty())
        return nullptr;
    for (WaylandOutput *o : outputs()) {
        if (o->name == name)
            return o;
    }
    return nullptr;
}

std::string WaylandDisplayBackend::text(const std::vector<Change> &changes)
{
    std::string s;
    for (const Change &c : changes) {
        const DisplayOutput &w = c.entry->wanted;
        if (!s.empty())
            s += ", ";
        s += c.output->name + ": " + std::to_string(w.current.PelsWidth) + "x" + std::to_string(w.current.PelsHeight)
            + " " + std::to_string(w.current.DisplayFrequency) + " Hz at " + std::to_string(w.x) + ","
            + std::to_string(w.y) + ", transform " + std::to_string(w.transform) + ", scale "
            + std::to_string(w.scale).substr(0, 4) + (w.primary ? ", primary" : "");
    }
    return s;
}

bool WaylandDisplayBackend::readLocked(std::unique_lock<std::mutex> &held, std::vector<DisplayOutput> &list)
{
    list.clear();
    if (!refresh(held))
        return false;
    bool inUse = false;
    for (WaylandOutput *o : outputs()) {
        if (o->name.empty())
            continue; // bound just now, not described yet
        DisplayOutput out;
        out.name = o->name;
        describe(*o, out);
        if (!o->enabled) {
            out.state = DisplayOutput::State::Off;
        } else if (o->current) {
            out.state = DisplayOutput::State::Active;
            out.current = o->current->values();
        } else {
            out.state = DisplayOutput::State::Unreadable;
        }
        out.takesUnlisted = takesUnlisted(*o);
        if (out.state != DisplayOutput::State::Off) {
            out.x = o->x;
            out.y = o->y;
            out.transform = o->transform;
            out.scale = o->scale;
        }
        inUse = inUse || out.state != DisplayOutput::State::Off;
        list.push_back(out);
    }
    // Once when it comes to that, not on every poll.
    if (!inUse && !saidNoneInUse)
        sayNoneInUse(list.size());
    saidNoneInUse = !inUse;
    return true;
}

bool WaylandDisplayBackend::readOutputs(std::vector<DisplayOutput> &list)
{
    auto shared = use();
    auto held = connection->lock();
    return readLocked(held, list);
}

bool WaylandDisplayBackend::readModes(const std::string &output, std::vector<DisplayMode> &modes)
{
    auto shared = use();
    auto held = connection->lock();
    modes.clear();
    if (!refresh(held))
        return false;
    const WaylandOutput *o = this->output(output);
    if (!o)
        return false;
    for (const WaylandMode *m : o->modes)
        modes.push_back(m->values());
    return true;
}

bool WaylandDisplayBackend::changesOf(const ApplyPlan &plan, std::vector<Change> &changes)
{
    changes.clear();
    for (const ApplyPlan::Output &entry : plan.changes) {
        WaylandOutput *o = output(entry.now.name);
        if (!o || !o->enabled)
            return false;
        Change change{o, &entry, nullptr};
        if (entry.modeChanges && entry.modeNumber >= 0) {
            // Numbered as the plan read the list: a list renumbered since is read anew.
            const size_t n = size_t(entry.modeNumber);
            if (n >= o->modes.size() || !(o->modes[n]->values() == entry.wanted.current))
                return false;
            change.target = o->modes[n];
        }
        changes.push_back(change);
    }
    return true;
}

DisplayBackend::ApplyResult WaylandDisplayBackend::commit(const ApplyPlan &plan, bool *stale)
{
    *stale = false;
    auto shared = use();
    auto held = connection->lock();
    std::vector<Change> changes;
    if (!refresh(held))
        return ApplyResult::Failed;
    if (!changesOf(plan, changes)) {
        *stale = true;
        return ApplyResult::Failed;
    }
    switch (send(held, changes)) {
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

void WaylandDisplayBackend::setChangeCallback(std::function<void()> callback)
{
    std::shared_lock<std::shared_mutex> shared(replacing);
    std::lock_guard<std::mutex> guard(callbackMutex);
    changeCallback = callback;
    connection->setChangeCallback(std::move(callback));
}
