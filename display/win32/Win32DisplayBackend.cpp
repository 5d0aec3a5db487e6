#include "Win32DisplayBackend.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <thread>

namespace {

using OutputState = DisplayBackend::OutputState;
using ApplyResult = DisplayBackend::ApplyResult;

// Display device i in USER32's order; false past the last one.
bool device(DWORD i, DISPLAY_DEVICEW &dd)
{
    ZeroMemory(&dd, sizeof dd);
    dd.cb = sizeof dd;
    return EnumDisplayDevicesW(nullptr, i, &dd, 0) != FALSE;
}

// Settings n of a device; ENUM_CURRENT_SETTINGS for the ones in force.
bool settings(const std::wstring &name, DWORD n, DEVMODEW &dm)
{
    ZeroMemory(&dm, sizeof dm);
    dm.dmSize = sizeof dm; // Windows wants the size set before the call; Wine does without.
    return EnumDisplaySettingsW(name.c_str(), n, &dm) != FALSE;
}

DisplayMode valuesOf(const DEVMODEW &dm)
{
    // Unsigned in the record, int everywhere else: the same 32 bits. Windows reports the
    // refresh rate in whole Hz already.
    DisplayMode m;
    m.PelsWidth = static_cast<int>(dm.dmPelsWidth);
    m.PelsHeight = static_cast<int>(dm.dmPelsHeight);
    m.BitsPerPel = static_cast<int>(dm.dmBitsPerPel);
    m.DisplayFrequency = static_cast<int>(dm.dmDisplayFrequency);
    return m;
}

// How the device stands; when Active, `now` holds its current settings and `primary` whether
// it is the primary device.
OutputState stateOf(const std::wstring &name, DEVMODEW &now, bool &primary)
{
    if (name.empty())
        return OutputState::Unreadable; // nothing was pinned: there is no display to ask
    DISPLAY_DEVICEW dd;
    DWORD i = 0;
    while (device(i, dd) && name != dd.DeviceName)
        ++i;
    if (name != dd.DeviceName)
        return OutputState::Absent;
    if (!(dd.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP))
        return OutputState::Off;
    primary = (dd.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) != 0;
    if (!settings(name, ENUM_CURRENT_SETTINGS, now))
        return OutputState::Unreadable;
    // Wine keeps an output whose CRTC was switched off on the desktop, in a 0x0 mode.
    if (now.dmPelsWidth == 0 || now.dmPelsHeight == 0)
        return OutputState::Off;
    return OutputState::Active;
}

// The first mode the device lists now with these values.
bool find(const std::wstring &name, const DisplayMode &mode, DEVMODEW &dm)
{
    for (DWORD n = 0; settings(name, n, dm); ++n)
        if (valuesOf(dm) == mode)
            return true;
    return false;
}

std::string utf8(const std::wstring &s)
{
    if (s.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], size,
                            nullptr, nullptr);
    return out;
}

} // namespace

std::string Win32DisplayBackend::pinOutput()
{
    std::wstring primary, attached;
    DISPLAY_DEVICEW dd;
    for (DWORD i = 0; primary.empty() && device(i, dd); ++i) {
        // Mirroring drivers (remote desktop and the like) show no picture of their own.
        if (dd.StateFlags & DISPLAY_DEVICE_MIRRORING_DRIVER)
            continue;
        if (dd.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE)
            primary = dd.DeviceName;
        else if (attached.empty() && (dd.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP))
            attached = dd.DeviceName;
    }
    m_device = primary.empty() ? attached : primary;
    return utf8(m_device);
}

bool Win32DisplayBackend::mode(int n, DisplayMode &out)
{
    DEVMODEW dm;
    // Negative numbers are USER32's special requests (current, registry), not list entries.
    if (m_device.empty() || n < 0 || !settings(m_device, static_cast<DWORD>(n), dm))
        return false;
    out = valuesOf(dm);
    return true;
}

DisplayBackend::OutputState Win32DisplayBackend::read(DEVMODEW &now)
{
    bool primary = false;
    const OutputState state = stateOf(m_device, now, primary);
    if (state != OutputState::Active || !primary)
        return state;
    // WM_DISPLAYCHANGE names the primary's new size and depth. Where the settings read here
    // disagree, they are a copy the system has not renewed (Wine keeps one per process and
    // renews it only for the process's own changes): the announcement is what is on screen,
    // at a refresh rate it does not say.
    std::lock_guard<std::mutex> lock(announcedMutex);
    if (haveAnnounced && (int(now.dmPelsWidth) != announced.PelsWidth || int(now.dmPelsHeight) != announced.PelsHeight
                          || int(now.dmBitsPerPel) != announced.BitsPerPel)) {
        now.dmPelsWidth = DWORD(announced.PelsWidth);
        now.dmPelsHeight = DWORD(announced.PelsHeight);
        now.dmBitsPerPel = DWORD(announced.BitsPerPel);
        now.dmDisplayFrequency = 0;
    }
    return state;
}

void Win32DisplayBackend::noteOnScreen(const DisplayMode &mode)
{
    std::lock_guard<std::mutex> lock(announcedMutex);
    announced = mode;
    haveAnnounced = true;
}

DisplayBackend::OutputState Win32DisplayBackend::current(DisplayMode &out)
{
    DEVMODEW now;
    const OutputState state = read(now);
    if (state == OutputState::Active)
        out = valuesOf(now);
    return state;
}

DisplayBackend::OutputState Win32DisplayBackend::availability(const DisplayMode &mode)
{
    DEVMODEW now, dm;
    const OutputState state = read(now);
    if (state != OutputState::Active)
        return state;
    return valuesOf(now) == mode || find(m_device, mode, dm) ? OutputState::Active
                                                             : OutputState::NotOffered;
}

DisplayBackend::ApplyResult Win32DisplayBackend::apply(const DisplayMode &mode)
{
    DEVMODEW now, dm;
    switch (read(now)) {
    case OutputState::Active:
        break;
    case OutputState::Off:
        return ApplyResult::Off;
    case OutputState::Absent:
        return ApplyResult::Absent;
    default:
        return ApplyResult::Failed;
    }
    if (valuesOf(now) == mode)
        dm = now; // a re-apply keeps the timing the device is in
    else if (!find(m_device, mode, dm))
        return ApplyResult::NotOffered;
    DEVMODEW request = switchRequest(dm);
    // Flags 0: switch now, for this session only; nothing goes to the registry.
    switch (ChangeDisplaySettingsExW(m_device.c_str(), &request, nullptr, 0, nullptr)) {
    case DISP_CHANGE_SUCCESSFUL:
        break;
    // The mode is not to be had now (the driver will not set it, or not without a restart).
    case DISP_CHANGE_RESTART:
    case DISP_CHANGE_BADMODE:
    case DISP_CHANGE_NOTUPDATED:
        return ApplyResult::Refused;
    default:
        return ApplyResult::Failed;
    }
    noteOnScreen(mode); // before our own announcement comes back
    return ApplyResult::Applied;
}

DEVMODEW Win32DisplayBackend::switchRequest(const DEVMODEW &record)
{
    DEVMODEW request;
    ZeroMemory(&request, sizeof request);
    request.dmSize = sizeof request;
    request.dmPelsWidth = record.dmPelsWidth;
    request.dmPelsHeight = record.dmPelsHeight;
    request.dmBitsPerPel = record.dmBitsPerPel;
    request.dmDisplayFrequency = record.dmDisplayFrequency;
    request.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT | DM_BITSPERPEL | DM_DISPLAYFREQUENCY;
    return request;
}

// A hidden top-level window (message-only windows get no broadcasts) with its own thread and
// message loop, so that announcements come whether or not Qt's windows exist or pump.
struct Win32DisplayBackend::Watcher
{
    Win32DisplayBackend *backend;
    std::function<void()> callback;
    HWND window = nullptr;
    std::thread thread;

    Watcher(Win32DisplayBackend *owner, std::function<void()> cb)
        : backend(owner), callback(std::move(cb))
    {
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread = std::thread([this, ready] { run(ready); });
        // The window exists (or failed) before the constructor returns: no early change is lost.
        WaitForSingleObject(ready, INFINITE);
        CloseHandle(ready);
    }

    ~Watcher()
    {
        if (window)
            PostMessageW(window, WM_CLOSE, 0, 0);
        thread.join();
    }

    void run(HANDLE ready)
    {
        static const wchar_t className[] = L"VelmoraDisplayWatcher";
        WNDCLASSW wc = {};
        wc.lpfnWndProc = &Watcher::windowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = className;
        RegisterClassW(&wc); // a second watcher finds the class registered: fine
        window = CreateWindowExW(WS_EX_TOOLWINDOW, className, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                 nullptr, wc.hInstance, nullptr);
        if (window)
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetEvent(ready);
        if (!window)
            return;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0)
            DispatchMessageW(&msg);
    }

    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto *self = reinterpret_cast<Watcher *>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        switch (message) {
        case WM_DISPLAYCHANGE:
            if (self) {
                self->backend->noteOnScreen({LOWORD(lParam), HIWORD(lParam), int(wParam), 0});
                self->callback();
            }
            return 0;
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
        }
    }
};

Win32DisplayBackend::Win32DisplayBackend() = default;

Win32DisplayBackend::~Win32DisplayBackend() = default;

void Win32DisplayBackend::setChangeCallback(std::function<void()> callback)
{
    // The old watcher is gone (its thread joined) before a new one starts.
    watcher.reset();
    if (callback)
        watcher = std::make_unique<Watcher>(this, std::move(callback));
}
