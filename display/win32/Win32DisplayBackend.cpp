#include "Win32DisplayBackend.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// Mode n of the primary display device; n == -1 passes through as ENUM_CURRENT_SETTINGS.
bool enumerate(int n, DEVMODEW &dm)
{
    ZeroMemory(&dm, sizeof dm);
    dm.dmSize = sizeof dm; // Windows wants the size set before the call; Wine does without.
    return EnumDisplaySettingsW(nullptr, static_cast<DWORD>(n), &dm) != FALSE;
}

} // namespace

bool Win32DisplayBackend::mode(int n, DisplayMode &out)
{
    DEVMODEW dm;
    if (!enumerate(n, dm))
        return false;
    // Unsigned in the record, int everywhere else: the same 32 bits.
    out.PelsWidth = static_cast<int>(dm.dmPelsWidth);
    out.PelsHeight = static_cast<int>(dm.dmPelsHeight);
    out.BitsPerPel = static_cast<int>(dm.dmBitsPerPel);
    out.DisplayFrequency = static_cast<int>(dm.dmDisplayFrequency);
    return true;
}

bool Win32DisplayBackend::apply(int n)
{
    DEVMODEW dm;
    // A number the platform no longer lists would hand ChangeDisplaySettingsW a blank record.
    if (!enumerate(n, dm))
        return false;
    // Every field marked as given: the record is passed back whole, as the platform filled it
    // (Wine 8 accepts this and matches on size, depth and refresh rate).
    dm.dmFields = 0xFFFFFFFF;
    // Flags 0: switch now, for this session only; nothing goes to the registry.
    return ChangeDisplaySettingsW(&dm, 0) == DISP_CHANGE_SUCCESSFUL;
}
