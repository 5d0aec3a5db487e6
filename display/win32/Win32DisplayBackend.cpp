#include "Win32DisplayBackend.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cctype>
#include <thread>

#include "MonitorIdentity.h"

namespace {

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

std::string utf8(const wchar_t *s)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s, -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

std::wstring wide(const std::string &s)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], size);
    return out;
}

// The monitor on a display device; false when nothing is connected to it.
bool monitorOf(const wchar_t *deviceName, DISPLAY_DEVICEW &monitor)
{
    ZeroMemory(&monitor, sizeof monitor);
    monitor.cb = sizeof monitor;
    return EnumDisplayDevicesW(deviceName, 0, &monitor, 0) != FALSE;
}

ApplyResult resultOf(LONG answer)
{
    switch (answer) {
    case DISP_CHANGE_SUCCESSFUL:
        return ApplyResult::Applied;
    // The mode is not to be had now (the driver will not set it, or not without a restart).
    case DISP_CHANGE_RESTART:
    case DISP_CHANGE_BADMODE:
    case DISP_CHANGE_NOTUPDATED:
        return ApplyResult::Refused;
    default:
        return ApplyResult::Failed;
    }
}

} // namespace

bool Win32DisplayBackend::readOutputs(std::vector<DisplayOutput> &outputs)
{
    outputs.clear();
    DISPLAY_DEVICEW dd;
    DWORD i = 0;
    for (; device(i, dd); ++i) {
        // Mirroring drivers (remote desktop and the like) show no picture of their own.
        if (dd.StateFlags & DISPLAY_DEVICE_MIRRORING_DRIVER)
            continue;
        const bool attached = (dd.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) != 0;
        DISPLAY_DEVICEW monitor;
        const bool connected = monitorOf(dd.DeviceName, monitor);
        if (!attached && !connected)
            continue; // a spare connector of the adapter
        DisplayOutput o;
        o.name = utf8(dd.DeviceName);
        o.primary = (dd.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) != 0;
        if (connected)
            identityFromDeviceId(utf8(monitor.DeviceID), utf8(monitor.DeviceString), o);
        DEVMODEW now;
        if (!attached) {
            o.state = DisplayOutput::State::Off;
        } else if (!settings(dd.DeviceName, ENUM_CURRENT_SETTINGS, now)) {
            o.state = DisplayOutput::State::Unreadable;
        } else if (now.dmPelsWidth == 0 || now.dmPelsHeight == 0) {
            // Wine keeps an output whose CRTC was switched off on the desktop, in a 0x0 mode.
            o.state = DisplayOutput::State::Off;
        } else {
            o.state = DisplayOutput::State::Active;
            o.current = valuesOf(now);
            if (o.primary)
                correctPrimary(o.current);
            else
                correctOther(dd.DeviceName, o.current);
        }
        outputs.push_back(o);
    }
    // No display device at all: there is no display to ask.
    return i > 0;
}

void Win32DisplayBackend::correctPrimary(DisplayMode &now)
{
    // WM_DISPLAYCHANGE names the primary's new size and depth. Where the settings read here
    // disagree, they are a copy the system has not renewed (Wine keeps one per process and
    // renews it only for the process's own changes): the announcement is what is on screen,
    // at a refresh rate it does not say.
    std::lock_guard<std::mutex> lock(announcedMutex);
    if (haveAnnounced && (now.PelsWidth != announced.PelsWidth || now.PelsHeight != announced.PelsHeight
                          || now.BitsPerPel != announced.BitsPerPel)) {
        now = announced;
        now.DisplayFrequency = 0;
    }
}

void Win32DisplayBackend::correctOther(const wchar_t *device, DisplayMode &now)
{
    // WM_DISPLAYCHANGE says nothing of the other devices, but the desktop's monitors are
    // renewed in every process (under Wine too): where a monitor's size disagrees with the
    // settings read, that read is the stale copy. Only once something changed: before that the
    // read is fresh, whatever scaling does to the rectangles.
    {
        std::lock_guard<std::mutex> lock(announcedMutex);
        if (!haveAnnounced)
            return;
    }
    struct Search
    {
        const wchar_t *device;
        SIZE size;
        bool found;
    } search{device, {0, 0}, false};
    EnumDisplayMonitors(
        nullptr, nullptr,
        [](HMONITOR monitor, HDC, LPRECT, LPARAM data) -> BOOL {
            auto *s = reinterpret_cast<Search *>(data);
            MONITORINFOEXW info;
            info.cbSize = sizeof info;
            if (!GetMonitorInfoW(monitor, &info) || wcscmp(info.szDevice, s->device) != 0)
                return TRUE;
            s->size = {info.rcMonitor.right - info.rcMonitor.left, info.rcMonitor.bottom - info.rcMonitor.top};
            s->found = true;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.found && search.size.cx > 0 && search.size.cy > 0
        && (search.size.cx != now.PelsWidth || search.size.cy != now.PelsHeight)) {
        now.PelsWidth = int(search.size.cx);
        now.PelsHeight = int(search.size.cy);
        now.DisplayFrequency = 0; // not to be had from a rectangle
    }
}

bool Win32DisplayBackend::readModes(const std::string &output, std::vector<DisplayMode> &modes)
{
    modes.clear();
    const std::wstring name = wide(output);
    DEVMODEW dm;
    for (DWORD n = 0; settings(name, n, dm); ++n)
        modes.push_back(valuesOf(dm));
    // A device that is not there lists nothing.
    return !modes.empty();
}

void Win32DisplayBackend::noteOnScreen(const DisplayMode &mode)
{
    std::lock_guard<std::mutex> lock(announcedMutex);
    announced = mode;
    haveAnnounced = true;
}

DisplayBackend::ApplyResult Win32DisplayBackend::commit(const ApplyPlan &plan, bool *stale)
{
    (void)stale;
    const std::vector<DisplayOutput> &outputs = plan.outputs;
    std::vector<ModeChange> changes;
    for (const ApplyPlan::Output &p : plan.changes) {
        if (p.modeChanges)
            changes.push_back({p.now.name, p.wanted.current});
    }
    struct Switch
    {
        std::wstring device;
        DEVMODEW request;
        bool primary;
        DisplayMode mode;
    };
    std::vector<Switch> switches;
    for (const ModeChange &change : changes) {
        const DisplayOutput *output = nullptr;
        stateOf(outputs, change.output, &output);
        if (output && output->state == DisplayOutput::State::Unreadable)
            return ApplyResult::Failed;
        std::vector<DisplayMode> modes;
        if (output && output->state == DisplayOutput::State::Active && !readModes(change.output, modes))
            return ApplyResult::Failed;
        int number = Unlisted;
        const ApplyResult verdict = check(output, modes, change.mode, &number);
        if (verdict != ApplyResult::Applied)
            return verdict;
        // Only values Windows handed out (the ones in use or listed) go back to it, never the
        // ones asked for as such: those may be out of its range.
        const DisplayMode &values = number == InUse ? output->current : modes[size_t(number)];
        DEVMODEW record;
        ZeroMemory(&record, sizeof record);
        record.dmPelsWidth = DWORD(values.PelsWidth);
        record.dmPelsHeight = DWORD(values.PelsHeight);
        record.dmBitsPerPel = DWORD(values.BitsPerPel);
        record.dmDisplayFrequency = DWORD(values.DisplayFrequency);
        switches.push_back({wide(change.output), switchRequest(record), output->primary, change.mode});
    }
    // Several devices: the driver is asked about each first (CDS_TEST switches nothing), so
    // that none is switched when one would be refused. They cannot be switched in one go
    // without the registry: CDS_NORESET only sets changes aside together with
    // CDS_UPDATEREGISTRY (Wine ignores it otherwise, and the closing call then puts every
    // device back into its registry mode).
    if (switches.size() > 1) {
        for (Switch &s : switches) {
            const ApplyResult result = resultOf(
                ChangeDisplaySettingsExW(s.device.c_str(), &s.request, nullptr, CDS_TEST, nullptr));
            if (result != ApplyResult::Applied)
                return result;
        }
    }
    // Flags 0: switch now, for this session only; nothing goes to the registry.
    for (Switch &s : switches) {
        const ApplyResult result = resultOf(ChangeDisplaySettingsExW(s.device.c_str(), &s.request, nullptr, 0, nullptr));
        if (result != ApplyResult::Applied)
            return result;
        if (s.primary)
            noteOnScreen(s.mode); // before our own announcement comes back
    }
    return ApplyResult::Applied;
}

bool Win32DisplayBackend::identityFromDeviceId(const std::string &deviceId, const std::string &description,
                                               DisplayOutput &output)
{
    // MONITOR\<maker><product>\{class}\<instance>: the second part is the EDID's maker
    // (three letters) and product code (four hex digits); the ID carries no serial.
    const size_t start = deviceId.find('\\');
    const size_t end = start == std::string::npos ? start : deviceId.find('\\', start + 1);
    bool named = end != std::string::npos && end - start - 1 == 7;
    std::string maker = named ? deviceId.substr(start + 1, 3) : std::string();
    std::string product = named ? deviceId.substr(start + 4, 4) : std::string();
    for (char c : maker)
        named = named && c >= 'A' && c <= 'Z';
    for (char &c : product) {
        named = named && std::isxdigit(static_cast<unsigned char>(c));
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (named)
        MonitorIdentity::fromNames(maker, product, std::string(), output);
    if (!description.empty())
        output.label = description;
    return named;
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

Win32DisplayBackend::~Win32DisplayBackend()
{
    // Its thread calls back into this object: joined before anything it uses goes.
    watcher.reset();
}

void Win32DisplayBackend::setChangeCallback(std::function<void()> callback)
{
    // The old watcher is gone (its thread joined) before a new one starts.
    watcher.reset();
    if (callback)
        watcher = std::make_unique<Watcher>(this, std::move(callback));
}
