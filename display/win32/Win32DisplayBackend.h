#pragma once

#include "DisplayBackend.h"

#include <memory>
#include <mutex>
#include <string>

struct _devicemodeW;

// The display layer on USER32's EnumDisplayDevicesW / EnumDisplaySettingsW /
// ChangeDisplaySettingsExW, for the one display device that was primary when pinOutput() ran.
// Every call names that device, so another device becoming primary later changes nothing.
// The only state is the device name, written once by pinOutput() before any other call; every
// call works on records of its own, so the GUI thread and the lock thread can call at the same
// time without a lock. Changes are announced from WM_DISPLAYCHANGE, which Windows broadcasts
// to top-level windows: a hidden window of a thread of its own receives it.
class Win32DisplayBackend : public DisplayBackend
{
public:
    Win32DisplayBackend();
    ~Win32DisplayBackend() override;

    std::string pinOutput() override;
    bool mode(int n, DisplayMode &out) override;
    OutputState current(DisplayMode &out) override;
    OutputState availability(const DisplayMode &mode) override;
    ApplyResult apply(const DisplayMode &mode) override;
    void setChangeCallback(std::function<void()> callback) override;

    // What an apply hands to Windows for a record: its four values and nothing else (a listed
    // record also carries a position, orientation and scaling, which would be applied too).
    static _devicemodeW switchRequest(const _devicemodeW &record);

private:
    struct Watcher;
    // How the pinned device stands, its settings corrected by the last announcement.
    OutputState read(_devicemodeW &now);
    // The primary's size and depth on screen, as last announced or applied here.
    void noteOnScreen(const DisplayMode &mode);

    std::unique_ptr<Watcher> watcher;
    std::mutex announcedMutex;
    DisplayMode announced;
    bool haveAnnounced = false;
    std::wstring m_device; // e.g. \\.\DISPLAY1; empty until pinned, or when there is none
};
