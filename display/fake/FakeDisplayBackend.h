#pragma once

#include "DisplayBackend.h"

#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

// A display that exists only in memory, scripted by tests: outputs with mode lists that can be
// renumbered, outputs that are switched off, unplugged or made primary, reads that fail,
// applies that are refused, changes "from outside", and call counts. The one-output calls
// (setModes, setCurrent, ...) act on the output that was primary at the first read (before it,
// on the primary).
// An output may carry a monitor identity ("identity", "serial": whether it has one).
class FakeDisplayBackend : public DisplayBackend
{
public:
    explicit FakeDisplayBackend(const QList<DisplayMode> &modes = {}, int currentIndex = 0);

    // {"modes": [[w,h,bpp,hz], ...], "current": n | [w,h,bpp,hz],
    //  "missing": [n, ...], "failReads": bool, "refuseApplies": bool,
    //  "currentUnreadable": bool, "appliesReportFailure": bool, "applyDelay": ms}
    // or, for several outputs, {"outputs": [{"name": s, "modes": [...], "current": ...,
    //  "off": bool, "identity": s, "label": s, "serial": bool, "x": n, "y": n, "transform": n,
//  "scale": n}, ...], "primary": s, ...}
    // ("modes"/"current" then describe the first).
    static std::unique_ptr<FakeDisplayBackend> fromJson(const QByteArray &json, QString *error);
    static std::unique_ptr<FakeDisplayBackend> fromJsonFile(const QString &path, QString *error);

    bool readOutputs(std::vector<DisplayOutput> &outputs) override;
    bool readModes(const std::string &output, std::vector<DisplayMode> &modes) override;
    LayoutFeatures features() const override;
    void setChangeCallback(std::function<void()> callback) override;

    void setModes(const QList<DisplayMode> &modes);
    // Mode numbers the enumeration fails for, although the list goes on behind them.
    void setMissing(const QSet<int> &numbers);
    // An outside change: the output is now in this mode, listed or not (and on).
    void setCurrent(const DisplayMode &mode);
    DisplayMode current() const;
    void setFailReads(bool fail);
    void setRefuseApplies(bool refuse);
    // The mode in use cannot be read, while applies still work.
    void setCurrentUnreadable(bool unreadable);
    // Applies take effect but answer Failed (an answer lost to a time-out).
    void setAppliesReportFailure(bool fail);
    // Each apply takes this long first (a hung display system); not while holding the lock.
    void setApplyDelay(int msec);

    // Further outputs. Names are unique; the first output is "FAKE0".
    void addOutput(const QString &name, const QList<DisplayMode> &modes, const DisplayMode &current);
    // The monitor on an output (empty: none known); `serial`: whether it tells twins apart.
    void setOutputIdentity(const QString &name, const QString &identity, bool serial = true);
    // The monitor's connector changes (a dock renumbering its ports).
    void renameOutput(const QString &name, const QString &newName);
    void setOutputModes(const QString &name, const QList<DisplayMode> &modes);
    void setOutputCurrent(const QString &name, const DisplayMode &mode);
    DisplayMode outputCurrent(const QString &name) const;
    // Switched off by somebody else (no mode), or on again in `mode`.
    void setOutputOff(const QString &name);
    bool outputIsOn(const QString &name) const;
    // Unplugged (gone from the list) and plugged in again, as it was.
    void setOutputPresent(const QString &name, bool present);
    void setPrimary(const QString &name);
    // Moved, turned or scaled by somebody else.
    void setOutputPlace(const QString &name, int x, int y, int transform = Normal, double scale = 1.0);
    // Tells the change callback, as a platform announcement would.
    void announce();

    int enumerations() const { return m_enumerations; }
    int currentReads() const { return m_currentReads; }
    int applies() const { return m_applies; }
    // Values handed to the last apply(); all -1 before any.
    DisplayMode lastApplied() const;
    // Output the last apply() went to (the last of its changes).
    QString lastAppliedOutput() const;
    // The changes of the last apply, in order.
    std::vector<ModeChange> lastChanges() const;
    // What the last commit was asked to change.
    std::vector<ApplyPlan::Output> lastPlan() const;
    void resetCounts();

protected:
    ApplyResult commit(const ApplyPlan &plan, bool *stale) override;

private:
    struct Output
    {
        QString name;
        QString identity;
        QString label;
        bool serial = true;
        QList<DisplayMode> modes;
        DisplayMode current;
        bool on = true;
        bool present = true;
        int x = 0;
        int y = 0;
        int transform = Normal;
        double scale = 1.0;
    };
    Output *find(const QString &name);
    const Output *find(const QString &name) const;
    // The output the one-output calls act on.
    Output *target();
    const Output *target() const;
    // The modes the platform lists for `o` now (the list ends at the first missing number).
    QList<DisplayMode> listed(const Output &o) const;

    mutable QMutex m_mutex;
    QList<Output> m_outputs;
    QString m_primary;
    QString m_target;
    QSet<int> m_missing;
    bool m_failReads = false;
    bool m_refuseApplies = false;
    bool m_currentUnreadable = false;
    bool m_appliesReportFailure = false;
    std::atomic<int> m_applyDelay{0};
    DisplayMode m_lastApplied{-1, -1, -1, -1};
    QString m_lastAppliedOutput;
    std::vector<ModeChange> m_lastChanges;
    std::vector<ApplyPlan::Output> m_lastPlan;
    std::function<void()> m_callback;
    std::atomic<int> m_enumerations{0};
    std::atomic<int> m_currentReads{0};
    std::atomic<int> m_applies{0};
};
