#pragma once

#include "DisplayBackend.h"

// The display layer on USER32's EnumDisplaySettingsW / ChangeDisplaySettingsW, always on the
// primary display device. It keeps no state: every call works on a DEVMODEW record of its own,
// so the GUI thread and the lock thread can call it at the same time without a lock.
class Win32DisplayBackend : public DisplayBackend
{
public:
    bool mode(int n, DisplayMode &out) override;
    bool apply(int n) override;
};
