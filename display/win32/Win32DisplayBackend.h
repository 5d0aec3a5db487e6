#pragma once

#include "DisplayBackend.h"

#include <memory>
#include <mutex>
#include <string>

struct _devicemodeW;

// The display layer on USER32's EnumDisplayDevicesW / EnumDisplaySettingsW /
// ChangeDisplaySettingsExW. Outputs are display devices by their names (\\.\DISPLAY1), the
// monitor on each known by its PnP device ID. Every call works on records of its own, so the
// GUI thread and the lock thread can call at the same time; only the last announcement is
// shared, under a lock. Changes are announced from WM_DISPLAYCHANGE, which Windows broadcasts
// to top-level windows: a hidden window of a thread of its own receives it.
class Win32DisplayBackend : public DisplayBackend
{
public:
    Win32DisplayBackend();
    ~Win32DisplayBackend() override;

    bool readOutputs(std::vector<DisplayOutput> &outputs) override;
    bool readModes(const std::string &output, std::vector<DisplayMode> &modes) override;
    void setChangeCallback(std::function<void()> callback) override;
    LayoutFeatures features() const override;

    // What an apply hands to Windows for a record: its four values and nothing else (a listed
    // record also carries a position, orientation and scaling, which would be applied too).
    static _devicemodeW switchRequest(const _devicemodeW &record);
    // Sets `output`'s identity, hasSerial and label from a monitor's device ID
    // ("MONITOR\GSM5B09\{...}\0001": maker GSM, product 5B09, no serial) and its description;
    // false, leaving the identity empty, when the ID names no maker and product.
    static bool identityFromDeviceId(const std::string &deviceId, const std::string &description,
                                     DisplayOutput &output);

protected:
    ApplyResult commit(const ApplyPlan &plan, bool *stale) override;

private:
    struct Watcher;
    // The primary's size and depth on screen, as last announced or applied here.
    void noteOnScreen(const DisplayMode &mode);
    // Puts a stale read of the primary's settings right from the last announcement.
    void correctPrimary(DisplayMode &now);
    // The same for another device's mode and place, from its monitor on the desktop.
    void correctOther(const wchar_t *device, DisplayOutput &output);

    std::mutex announcedMutex;
    DisplayMode announced;
    bool haveAnnounced = false;
    // Last, so that it goes first: its thread must be joined while the members above still exist.
    std::unique_ptr<Watcher> watcher;
};
