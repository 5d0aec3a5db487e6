#include "WaylandDisplayBackend.h"

#include <QDebug>
#include <QString>

#include <map>

void WaylandDisplayBackend::open(const std::string &display, WaylandConnection::Handlers h, const char *t)
{
    displayName = display;
    handlers = std::move(h);
    tag = t;
    connection = std::make_unique<WaylandConnection>(displayName, handlers);
    connection->start();
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
        if (lost) {
            old = std::move(connection);
            connection = std::make_unique<WaylandConnection>(displayName, handlers);
            {
                std::lock_guard<std::mutex> guard(callbackMutex);
                connection->setChangeCallback(changeCallback);
            }
            connection->start();
            auto held = connection->lock();
            if (connection->isAlive()) {
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
        if (!s.empty())
            s += ", ";
        s += std::to_string(c.wanted.PelsWidth) + "x" + std::to_string(c.wanted.PelsHeight) + " "
            + std::to_string(c.wanted.DisplayFrequency) + " Hz on " + c.output->name;
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

DisplayBackend::ApplyResult WaylandDisplayBackend::applyOnce(std::unique_lock<std::mutex> &held,
                                                             const std::vector<ModeChange> &changes, bool *stale)
{
    *stale = false;
    std::vector<DisplayOutput> list;
    if (!readLocked(held, list))
        return ApplyResult::Failed;
    // A second change of one output replaces the first: a configuration names each once.
    std::map<std::string, size_t> named;
    std::vector<Change> sends;
    for (const ModeChange &change : changes) {
        const DisplayOutput *found = nullptr;
        stateOf(list, change.output, &found);
        WaylandOutput *o = output(change.output);
        std::vector<DisplayMode> modes;
        if (o) {
            for (const WaylandMode *m : o->modes)
                modes.push_back(m->values());
        }
        int number = Unlisted;
        const ApplyResult result = check(o ? found : nullptr, modes, change.mode, &number);
        if (result != ApplyResult::Applied)
            return result;
        Change send{o, nullptr, change.mode};
        if (number == InUse)
            send.target = o->current;
        else if (number >= 0)
            send.target = o->modes[size_t(number)];
        const auto at = named.find(change.output);
        if (at != named.end()) {
            sends[at->second] = send;
        } else {
            named.emplace(change.output, sends.size());
            sends.push_back(send);
        }
    }
    if (sends.empty())
        return ApplyResult::Applied;
    switch (send(held, sends)) {
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

DisplayBackend::ApplyResult WaylandDisplayBackend::commit(const ApplyPlan &plan, bool *stale)
{
    std::vector<ModeChange> changes;
    for (const ApplyPlan::Output &p : plan.changes) {
        if (p.modeChanges)
            changes.push_back({p.now.name, p.wanted.current});
    }
    auto shared = use();
    auto held = connection->lock();
    return applyOnce(held, changes, stale);
}

void WaylandDisplayBackend::setChangeCallback(std::function<void()> callback)
{
    std::shared_lock<std::shared_mutex> shared(replacing);
    std::lock_guard<std::mutex> guard(callbackMutex);
    changeCallback = callback;
    connection->setChangeCallback(std::move(callback));
}
