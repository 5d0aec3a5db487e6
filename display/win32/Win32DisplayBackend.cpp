#include "Win32DisplayBackend.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cctype>
#include <functional>
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

// Windows turns counter-clockwise in DMDO_90 steps, as Wayland numbers its first four
// transforms; it has no reflection.
int transformOf(const DEVMODEW &dm)
{
    return (dm.dmFields & DM_DISPLAYORIENTATION) && dm.dmDisplayOrientation <= DMDO_270 ? int(dm.dmDisplayOrientation)
                                                                                          : Normal;
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
            o.x = int(now.dmPosition.x);
            o.y = int(now.dmPosition.y);
            o.transform = transformOf(now);
            if (o.primary)
                correctPrimary(o.current);
            else
                correctOther(dd.DeviceName, o);
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

void Win32DisplayBackend::correctOther(const wchar_t *device, DisplayOutput &output)
{
    // WM_DISPLAYCHANGE says nothing of the other devices, but the desktop's monitors are
    // renewed in every process (under Wine too): where a monitor's size or place disagrees
    // with the settings read, that read is the stale copy. Only once something changed: before
    // that the read is fresh, whatever scaling does to the rectangles.
    {
        std::lock_guard<std::mutex> lock(announcedMutex);
        if (!haveAnnounced)
            return;
    }
    struct Search
    {
        const wchar_t *device;
        RECT rect;
        bool found;
    } search{device, {0, 0, 0, 0}, false};
    EnumDisplayMonitors(
        nullptr, nullptr,
        [](HMONITOR monitor, HDC, LPRECT, LPARAM data) -> BOOL {
            auto *s = reinterpret_cast<Search *>(data);
            MONITORINFOEXW info;
            info.cbSize = sizeof info;
            if (!GetMonitorInfoW(monitor, &info) || wcscmp(info.szDevice, s->device) != 0)
                return TRUE;
            s->rect = info.rcMonitor;
            s->found = true;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    const int width = int(search.rect.right - search.rect.left);
    const int height = int(search.rect.bottom - search.rect.top);
    if (!search.found || width <= 0 || height <= 0)
        return;
    DisplayMode &now = output.current;
    if (width != now.PelsWidth || height != now.PelsHeight) {
        now.PelsWidth = width;
        now.PelsHeight = height;
        now.DisplayFrequency = 0; // not to be had from a rectangle
    }
    output.x = int(search.rect.left);
    output.y = int(search.rect.top);
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

namespace {

// One device's settings as they go to ChangeDisplaySettingsExW.
struct Request
{
    std::wstring device;
    DEVMODEW request;
    bool primary = false; // primary after the apply
    DisplayMode onScreen; // its size and depth then
};

// The record Windows lists for `values` turned from one orientation to another.
bool turnedRecord(const std::wstring &device, const DisplayMode &values, int from, int to, DEVMODEW &record)
{
    // A turn by a quarter swaps width and height; Windows lists the turned modes only when
    // asked for every orientation.
    const bool swaps = ((from ^ to) & 1) != 0;
    const DWORD width = DWORD(swaps ? values.PelsHeight : values.PelsWidth);
    const DWORD height = DWORD(swaps ? values.PelsWidth : values.PelsHeight);
    for (DWORD n = 0;; ++n) {
        ZeroMemory(&record, sizeof record);
        record.dmSize = sizeof record;
        if (!EnumDisplaySettingsExW(device.c_str(), n, &record, EDS_ROTATEDMODE))
            return false;
        if (transformOf(record) == to && record.dmPelsWidth == width && record.dmPelsHeight == height
            && record.dmBitsPerPel == DWORD(values.BitsPerPel)
            && (values.DisplayFrequency == 0 || record.dmDisplayFrequency == DWORD(values.DisplayFrequency)))
            return true;
    }
}

// The request for one output of a plan; `origin`: the new primary's place.
ApplyResult requestFor(const ApplyPlan::Output &p, POINTL origin, bool arranges, Request &out, bool *stale)
{
    if (p.wanted.transform > Rotated270)
        return ApplyResult::Refused; // no reflection on Windows
    out.device = wide(p.now.name);
    out.primary = p.wanted.primary;
    // Only values Windows handed out (the ones in use or listed) go back to it, never the ones
    // asked for as such: those may be out of its range. A listed mode is taken from the list
    // anew; another one there now means the list changed since the plan's read.
    DEVMODEW record;
    ZeroMemory(&record, sizeof record);
    if (p.modeNumber >= 0) {
        if (!settings(out.device, DWORD(p.modeNumber), record) || valuesOf(record) != p.wanted.current) {
            *stale = true;
            return ApplyResult::Applied;
        }
    } else {
        record.dmPelsWidth = DWORD(p.now.current.PelsWidth);
        record.dmPelsHeight = DWORD(p.now.current.PelsHeight);
        record.dmBitsPerPel = DWORD(p.now.current.BitsPerPel);
        record.dmDisplayFrequency = DWORD(p.now.current.DisplayFrequency);
    }
    if (p.turns && !turnedRecord(out.device, valuesOf(record), p.now.transform, p.wanted.transform, record))
        return ApplyResult::Refused;
    out.request = Win32DisplayBackend::switchRequest(record);
    out.onScreen = valuesOf(record);
    if (record.dmDisplayFrequency == 0)
        out.request.dmFields &= ~DWORD(DM_DISPLAYFREQUENCY); // a stale read corrected: rate unknown
    if (arranges) {
        // Windows wants the mode with the place (a place alone reads as "back to the registry"),
        // relative to the primary at 0,0.
        out.request.dmFields |= DM_POSITION;
        out.request.dmPosition = {LONG(p.wanted.x) - origin.x, LONG(p.wanted.y) - origin.y};
    }
    if (p.turns) {
        out.request.dmFields |= DM_DISPLAYORIENTATION;
        out.request.dmDisplayOrientation = DWORD(p.wanted.transform);
    }
    return ApplyResult::Applied;
}

ApplyResult test(std::vector<Request> &requests)
{
    // The driver is asked about each first (CDS_TEST switches nothing), so that none is
    // switched when one would be refused.
    if (requests.size() < 2)
        return ApplyResult::Applied;
    for (Request &r : requests) {
        const ApplyResult result = resultOf(ChangeDisplaySettingsExW(r.device.c_str(), &r.request, nullptr, CDS_TEST, nullptr));
        if (result != ApplyResult::Applied)
            return result;
    }
    return ApplyResult::Applied;
}

// `noted` hears of the primary's new size and depth.
ApplyResult commitEach(std::vector<Request> &requests, const std::function<void(const DisplayMode &)> &noted)
{
    // Modes alone go device by device with flags 0: switched now, for this session only,
    // nothing in the registry (which the together path below needs, and then keeps).
    const ApplyResult tested = test(requests);
    if (tested != ApplyResult::Applied)
        return tested;
    for (Request &r : requests) {
        const ApplyResult result = resultOf(ChangeDisplaySettingsExW(r.device.c_str(), &r.request, nullptr, 0, nullptr));
        if (result != ApplyResult::Applied)
            return result;
        if (r.primary)
            noted(r.onScreen); // before our own announcement comes back
    }
    return ApplyResult::Applied;
}

ApplyResult commitTogether(std::vector<Request> &requests, const std::function<void(const DisplayMode &)> &noted)
{
    // Each device's settings set aside (CDS_NORESET, which works only with CDS_UPDATEREGISTRY),
    // then one call without a device applies them all at once.
    const ApplyResult tested = test(requests);
    if (tested != ApplyResult::Applied)
        return tested;
    for (Request &r : requests) {
        const DWORD flags = CDS_UPDATEREGISTRY | CDS_NORESET | (r.primary ? CDS_SET_PRIMARY : 0);
        const ApplyResult result = resultOf(ChangeDisplaySettingsExW(r.device.c_str(), &r.request, nullptr, flags, nullptr));
        if (result != ApplyResult::Applied)
            return result;
    }
    const ApplyResult result = resultOf(ChangeDisplaySettingsExW(nullptr, nullptr, nullptr, 0, nullptr));
    if (result == ApplyResult::Applied) {
        for (const Request &r : requests) {
            if (r.primary)
                noted(r.onScreen);
        }
    }
    return result;
}

} // namespace

LayoutFeatures Win32DisplayBackend::features() const
{
    // Place, turn and primary (CDS_SET_PRIMARY); no scale: Windows scales per monitor in
    // settings of its own, not in the display settings.
    LayoutFeatures has;
    has.position = true;
    has.transform = true;
    has.primary = true;
    return has;
}

DisplayBackend::ApplyResult Win32DisplayBackend::commit(const ApplyPlan &plan, bool *stale)
{
    bool arranges = false;
    for (const ApplyPlan::Output &p : plan.changes)
        arranges = arranges || p.moves || p.turns || p.primaryChanges;
    // The primary after the apply is at 0,0: every place is relative to it.
    POINTL origin = {0, 0};
    for (const DisplayOutput &o : plan.outputs) {
        const ApplyPlan::Output *p = plan.find(o.name);
        if (p ? p->wanted.primary : o.primary)
            origin = {LONG(p ? p->wanted.x : o.x), LONG(p ? p->wanted.y : o.y)};
    }
    const auto noted = [this](const DisplayMode &mode) { noteOnScreen(mode); };
    std::vector<Request> requests;
    for (const ApplyPlan::Output &p : plan.changes) {
        Request r;
        const ApplyResult built = requestFor(p, origin, arranges, r, stale);
        if (built != ApplyResult::Applied || *stale)
            return built;
        requests.push_back(r);
    }
    if (!arranges)
        return commitEach(requests, noted);
    // The closing call puts every device into its registry settings: an output the plan does
    // not change is named as it is where those differ from it (or the origin moves).
    for (const DisplayOutput &o : plan.outputs) {
        if (o.state != DisplayOutput::State::Active || plan.find(o.name))
            continue;
        DEVMODEW registry;
        const bool kept = settings(wide(o.name), ENUM_REGISTRY_SETTINGS, registry) && origin.x == 0 && origin.y == 0
            && registry.dmPosition.x == o.x && registry.dmPosition.y == o.y && transformOf(registry) == o.transform
            && registry.dmPelsWidth == DWORD(o.current.PelsWidth) && registry.dmPelsHeight == DWORD(o.current.PelsHeight)
            && registry.dmBitsPerPel == DWORD(o.current.BitsPerPel)
            && (o.current.DisplayFrequency == 0 || registry.dmDisplayFrequency == DWORD(o.current.DisplayFrequency));
        if (kept)
            continue;
        ApplyPlan::Output same{o, o, InUse};
        Request r;
        const ApplyResult built = requestFor(same, origin, true, r, stale);
        if (built != ApplyResult::Applied || *stale)
            return built;
        requests.push_back(r);
    }
    return commitTogether(requests, noted);
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
// message loop, so that announcements come whether or not Qt's windows exist or pump. Topmost:
// Wine sends WM_DISPLAYCHANGE window after window from the top of the z-order, each waited for,
// and with three outputs the windows above it took up to 1.2 s to answer.
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
        window = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, className, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
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
