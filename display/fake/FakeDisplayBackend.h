#pragma once

#include "DisplayBackend.h"

#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>

#include <atomic>
#include <memory>

// A display that exists only in memory, scripted by tests: a mode list, a current mode,
// reads that fail, applies that are refused, changes "from outside", and call counts.
class FakeDisplayBackend : public DisplayBackend
{
public:
    explicit FakeDisplayBackend(const QList<DisplayMode> &modes = {}, int currentIndex = 0);

    // {"modes": [[w,h,bpp,hz], ...], "current": n | [w,h,bpp,hz],
    //  "missing": [n, ...], "failReads": bool, "refuseApplies": bool}
    static std::unique_ptr<FakeDisplayBackend> fromJson(const QByteArray &json, QString *error);
    static std::unique_ptr<FakeDisplayBackend> fromJsonFile(const QString &path, QString *error);

    bool mode(int n, DisplayMode &out) override;
    bool apply(int n) override;

    void setModes(const QList<DisplayMode> &modes);
    // Mode numbers the enumeration fails for, although the list goes on behind them.
    void setMissing(const QSet<int> &numbers);
    // An outside change: the display is now in this mode, listed or not.
    void setCurrent(const DisplayMode &mode);
    DisplayMode current() const;
    void setFailReads(bool fail);
    void setRefuseApplies(bool refuse);

    int enumerations() const { return m_enumerations; }
    int currentReads() const { return m_currentReads; }
    int applies() const { return m_applies; }
    // Mode number handed to the last apply() (CurrentSettings included); -2 before any.
    int lastApplied() const { return m_lastApplied; }
    void resetCounts();

private:
    mutable QMutex m_mutex;
    QList<DisplayMode> m_modes;
    QSet<int> m_missing;
    DisplayMode m_current;
    bool m_failReads = false;
    bool m_refuseApplies = false;
    std::atomic<int> m_enumerations{0};
    std::atomic<int> m_currentReads{0};
    std::atomic<int> m_applies{0};
    std::atomic<int> m_lastApplied{-2};
};
