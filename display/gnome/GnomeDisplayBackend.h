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
#include <vector>

// GNOME's own display configuration: Mutter's org.gnome.Mutter.DisplayConfig on the session
// bus, the interface GNOME Settings uses, and on Wayland the only one that really sets modes.
// Reads are GetCurrentState; an apply is one temporary ApplyMonitorsConfig for every monitor
// it names that keeps every other part of the layout. Blocking calls go out on the connection
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
    // One GetCurrentState, kept for the commit that follows it.
    bool readWithModes(std::vector<DisplayOutput> &outputs, const std::vector<std::string> &named,
                       std::map<std::string, std::vector<DisplayMode>> &modes) override;
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
    // One read and one request; `stale`: the configuration changed in between.
    ApplyResult applyOnce(const std::vector<ModeChange> &changes, bool *stale);
    // Its steps. checkPolicy: Applied when GNOME lets programs configure the monitors.
    ApplyResult checkPolicy();
    // Mode targets[connector] (an index in its list) for each monitor named there,
    // everything else kept or moved along.
    bool buildRequest(const State &state, const QHash<QString, int> &targets, Request &request) const;
    // ApplyMonitorsConfig with `method` (verify or temporary).
    ApplyResult send(const Request &request, uint method, bool *stale);
    void announce();

    QDBusConnection bus;
    std::mutex mutex; // one D-Bus exchange at a time; guards everything below
    // The state an apply planned from: its commit sends against it, with its serial.
    std::shared_ptr<State> planned;
    bool refusalSaid = false;
    QString lastRefusal;
    std::function<void()> beforeApply;
    int calls = 0;
    std::chrono::steady_clock::time_point stalledUntil;
    std::mutex callbackMutex;
    std::function<void()> callback;
};
