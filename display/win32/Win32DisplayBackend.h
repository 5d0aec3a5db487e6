#pragma once

#include "DisplayBackend.h"

#include <string>

// The display layer on USER32's EnumDisplayDevicesW / EnumDisplaySettingsW /
// ChangeDisplaySettingsExW, for the one display device that was primary when pinOutput() ran.
// Every call names that device, so another device becoming primary later changes nothing.
// The only state is the device name, written once by pinOutput() before any other call; every
// call works on records of its own, so the GUI thread and the lock thread can call at the same
// time without a lock.
class Win32DisplayBackend : public DisplayBackend
{
public:
    std::string pinOutput() override;
    bool mode(int n, DisplayMode &out) override;
    OutputState current(DisplayMode &out) override;
    OutputState availability(const DisplayMode &mode) override;
    ApplyResult apply(const DisplayMode &mode) override;

private:
    std::wstring m_device; // e.g. \\.\DISPLAY1; empty until pinned, or when there is none
};
