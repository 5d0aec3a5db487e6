#pragma once

#include "DisplayBackend.h"

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// GNOME's own display configuration: Mutter's org.gnome.Mutter.DisplayConfig on the session
// bus, the interface GNOME Settings uses, and on Wayland the only one that really sets modes.
// Reads are GetCurrentState; an apply is one temporary ApplyMonitorsConfig of the whole layout
// that keeps whatever the plan does not change. Blocking calls go out on the connection
// under one mutex (from any thread); the object itself, which receives MonitorsChanged and the
// service's owner changes, stays in the thread that built it and needs that thread's event loop.
class GnomeDisplayBackend : public QObject, public DisplayBackend
{
    Q_OBJECT

public:
    static const char *const Service;

    explicit GnomeDisplayBackend(const QDBusConnection &bus = QDBusConnection::sessionBus());
    ~GnomeDisplayBackend() override;

    // Whether someone owns the DisplayConfig name on this bus now.
    static bool serviceRegistered(const QDBusConnection &bus = QDBusConnection::sessionBus());

    bool readOutputs(std::vector<DisplayOutput> &outputs) override;
    bool readModes(const std::string &output, std::vector<DisplayMode> &modes) override;
    // One GetCurrentState, kept for this thread's commit that follows it.
    bool readWithModes(std::vector<DisplayOutput> &outputs, const std::vector<std::string> &named,
                       std::map<std::string, std::vector<DisplayMode>> &modes) override;
    // Positions, transforms, scales and the primary: Mutter lays them out per logical monitor.
    LayoutFeatures features() const override { return {true, true, true, true}; }
    void setChangeCallback(std::function<void()> callback) override;

    // D-Bus calls made since the last call (tests and benchmarks).
    int takeCalls();
    // Runs between an apply's read and its request (tests: a change in that gap).
    void setBeforeApplyHook(std::function<void()> hook);

protected:
    ApplyResult commit(const ApplyPlan &plan, bool *stale) override;

private Q_SLOTS:
    void onMonitorsChanged();
    void onOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    struct State;
    struct Request;
    // One blocking call, CallTimeoutMs at most; failing at once for a while after one timed out.
    QDBusMessage exchange(const QDBusMessage &message);
    bool readState(State &state);
    // The whole plan as one request against `state`, every monitor named; Refused for a
    // scale the monitor's mode does not offer.
    ApplyResult buildRequest(const State &state, const ApplyPlan &plan, Request &request);
    // ApplyMonitorsConfig, temporary; `stale`: the configuration changed since `state`.
    ApplyResult send(const Request &request, bool *stale);
    // Says once per reason why an apply was refused.
    void refuse(const QString &why);
    // Says once when GNOME's policy forbids configuration over D-Bus.
    void sayPolicy();
    void announce();

    QDBusConnection bus;
    std::mutex mutex; // one D-Bus exchange at a time; guards everything below
    // The state each thread's apply planned from: its commit sends against it, with its serial.
    std::map<std::thread::id, std::shared_ptr<State>> planned;
    bool policySaid = false;
    QString lastRefusal;
    std::function<void()> beforeApply;
    int calls = 0;
    std::chrono::steady_clock::time_point stalledUntil;
    std::mutex callbackMutex;
    std::function<void()> callback;
};
