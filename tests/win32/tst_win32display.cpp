// Drives Win32DisplayBackend under Wine for tests/tst_winedisplay.cpp.
//
// Inside Wine the program cannot look at the X server, so it checks here only what the backend
// hands back to its callers, and prints what it listed and applied in lines that the script
// compares with xrandr from outside.
//
// Usage: tst_win32display.exe COMMAND...   (run in order, in one process, after pinOutput())
//   devices          "device NAME FLAGS" for every display device; the pinned one is the primary
//   list             "mode N W H B F" for every mode, then "count C"
//   current          "current W H B F" and "current-index K" (first listed mode equal to it)
//   apply N          "apply N W H B F": the values of mode N must be applied and be in force
//   set W H B F      the same for values given directly (from what xrandr shows)
//   push W H B F     values given directly must be applied; what is in force is left to xrandr
//   on NAME[,NAME]   push goes to these devices from here on (several: in one apply), not the
//                    pinned one
//   refuse N         "refused N W H B F RESULT": mode N was listed, the display lost it since
//   apply-missing    values that no listed mode has must not be offered nor applied
//   reapply-current  "reapplied W H B F": applying the current values must be accepted
//   request          every listed record is handed to Windows as its four values alone
//   off              the pinned output is off: reads say Off, applies switch nothing on
//   none             there was nothing to pin: nothing is listed, read or applied
//   outputs          "output NAME primary|- STATE IDENTITY|- [W H B F]" for every output, which
//                    must be the devices on the desktop or with a monitor; monitor IDs are read
//                    as MonitorIdentity reads the EDID
//   both             "both NAME primary|- W H B F": two outputs switched in one apply, after an
//                    apply of two whose second cannot be, which must switch neither
//   arrange          three outputs on: one moved and switched in one apply, read back by
//                    EnumDisplaySettingsW; an output not named keeps its place and mode
//   place NAME X Y   "placed NAME X,Y": NAME moved as another program moves it (not through
//                    the backend), in the mode it is in
//   state            "state S [W H B F]": how the pinned output stands (no checks)
//   threads          enumerating and re-applying from two threads at once
//   wait             prints "waiting", then blocks until a line arrives on stdin
//   watch            from here on, count the backend's change announcements
//   announced        at least one announcement came (waits up to 5 s for it)
// The first line is "pinned NAME"; the last one is "N passed, N failed"; the exit code is 1
// when a check failed.

#include "MonitorIdentity.h"
#include "Pinned.h"
#include "Win32DisplayBackend.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using State = DisplayBackend::OutputState;
using Result = DisplayBackend::ApplyResult;
using Backend = Pinned<Win32DisplayBackend>;

int passed = 0;
int failed = 0;
std::string pinned;

void check(bool ok, const std::string &what)
{
    if (ok)
        ++passed;
    else
        ++failed;
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
}

std::string str(const DisplayMode &m)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d %d %d %d", m.PelsWidth, m.PelsHeight, m.BitsPerPel,
                  m.DisplayFrequency);
    return buf;
}

const char *name(State s)
{
    switch (s) {
    case State::Active: return "Active";
    case State::Off: return "Off";
    case State::Absent: return "Absent";
    case State::NotOffered: return "NotOffered";
    case State::Unreadable: return "Unreadable";
    }
    return "?";
}

const char *name(Result r)
{
    switch (r) {
    case Result::Applied: return "Applied";
    case Result::Refused: return "Refused";
    case Result::NotOffered: return "NotOffered";
    case Result::Off: return "Off";
    case Result::Absent: return "Absent";
    case Result::Failed: return "Failed";
    }
    return "?";
}

std::vector<DisplayMode> enumerate(Backend &backend)
{
    std::vector<DisplayMode> modes;
    DisplayMode m;
    while (backend.mode(static_cast<int>(modes.size()), m))
        modes.push_back(m);
    return modes;
}

bool current(Backend &backend, DisplayMode &out)
{
    return backend.current(out) == State::Active;
}

// Integer argument of a command; exits on a malformed command line.
int number(int argc, char **argv, int &i)
{
    char *end = nullptr;
    const long n = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
    if (i + 1 >= argc || *end != '\0') {
        std::fprintf(stderr, "%s needs a number\n", argv[i]);
        std::exit(2);
    }
    ++i;
    return static_cast<int>(n);
}

// The devices as USER32 lists them, seen without the backend.
void devices()
{
    int primaries = 0;
    std::string primary;
    DISPLAY_DEVICEW dd;
    for (DWORD i = 0;; ++i) {
        ZeroMemory(&dd, sizeof dd);
        dd.cb = sizeof dd;
        if (!EnumDisplayDevicesW(nullptr, i, &dd, 0))
            break;
        char utf8[128];
        WideCharToMultiByte(CP_UTF8, 0, dd.DeviceName, -1, utf8, sizeof utf8, nullptr, nullptr);
        std::printf("device %s %08lx\n", utf8, static_cast<unsigned long>(dd.StateFlags));
        if (dd.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) {
            ++primaries;
            primary = utf8;
        }
    }
    check(primaries == 1, "USER32 flags one device as primary (" + std::to_string(primaries) + ")");
    check(!pinned.empty() && pinned == primary,
          "pinOutput names the primary device " + primary + " (named " + pinned + ")");
}

void list(Backend &backend)
{
    const std::vector<DisplayMode> modes = enumerate(backend);
    for (size_t n = 0; n < modes.size(); ++n)
        std::printf("mode %zu %s\n", n, str(modes[n]).c_str());
    std::printf("count %zu\n", modes.size());

    const int count = static_cast<int>(modes.size());
    check(count > 0, "the display lists modes");
    DisplayMode m;
    bool beyond = false;
    for (int n : {count + 1, count + 2, count + 100, -1, -2})
        beyond = beyond || backend.mode(n, m);
    check(!beyond, "nothing is listed past the first failing number, nor at negative ones");
    check(enumerate(backend) == modes, "a second enumeration gives the same numbers and values");
}

void showCurrent(Backend &backend)
{
    DisplayMode now;
    const State state = backend.current(now);
    check(state == State::Active, std::string("the pinned output is Active (") + name(state) + ")");
    if (state != State::Active)
        return;
    std::printf("current %s\n", str(now).c_str());
    const std::vector<DisplayMode> modes = enumerate(backend);
    int index = -1;
    for (size_t n = 0; n < modes.size() && index < 0; ++n)
        if (modes[n] == now)
            index = static_cast<int>(n);
    std::printf("current-index %d\n", index);
    check(index >= 0, "the current settings are one of the listed modes");
    check(backend.availability(now) == State::Active, "the current settings are available");
}

void applyValues(Backend &backend, const std::string &label, const DisplayMode &wanted)
{
    const State offered = backend.availability(wanted);
    check(offered == State::Active,
          label + " (" + str(wanted) + ") is available (" + name(offered) + ")");
    const Result result = backend.apply(wanted);
    check(result == Result::Applied, label + " (" + str(wanted) + ") is " + name(result));
    DisplayMode now;
    const bool switched = current(backend, now) && now == wanted;
    check(switched, "after " + label + " the current settings are " + str(wanted) + " (read "
              + str(now) + ")");
}

// The devices of "on"; empty: the pinned one.
std::vector<std::string> targets;

void push(Backend &backend, const DisplayMode &wanted)
{
    std::vector<ModeChange> changes;
    for (const std::string &device : targets)
        changes.push_back({device, wanted});
    const Result result = targets.empty() ? backend.apply(wanted) : backend.applyModes(changes);
    std::printf("push %s %s\n", str(wanted).c_str(), name(result));
    check(result == Result::Applied, "push (" + str(wanted) + ") is " + name(result));
}

void apply(Backend &backend, int n)
{
    DisplayMode wanted;
    if (!backend.mode(n, wanted)) {
        check(false, "apply " + std::to_string(n) + ": mode is listed");
        return;
    }
    std::printf("apply %d %s\n", n, str(wanted).c_str());
    applyValues(backend, "apply " + std::to_string(n), wanted);
}

void refuse(Backend &backend, int n)
{
    DisplayMode listed, before, after;
    const bool isListed = backend.mode(n, listed);
    const bool read = current(backend, before);
    const Result result = backend.apply(listed);
    std::printf("refused %d %s %s\n", n, str(listed).c_str(), name(result));
    // Wine may still list the mode to this process (it keeps a copy); then the switch fails.
    check(isListed && (result == Result::Refused || result == Result::NotOffered),
          "apply " + str(listed) + ", which the display no longer has, is not applied ("
              + name(result) + ")");
    const bool kept = read && current(backend, after) && after == before;
    check(kept, "a refused mode leaves the current settings at " + str(before));
}

bool listed(const std::vector<DisplayMode> &modes, const DisplayMode &m)
{
    for (const DisplayMode &x : modes)
        if (x == m)
            return true;
    return false;
}

void applyMissing(Backend &backend)
{
    const std::vector<DisplayMode> modes = enumerate(backend);
    DisplayMode before, after;
    const bool read = current(backend, before);
    // Near misses of the mode in force, each off in one value, and nothing at all.
    std::vector<DisplayMode> missing;
    for (int d : {1, 2, 3}) {
        DisplayMode m = before;
        m.PelsWidth += d;
        missing.push_back(m);
        m = before;
        m.BitsPerPel = 24 + d - 1;
        missing.push_back(m);
        m = before;
        m.DisplayFrequency += 1000 * d;
        missing.push_back(m);
    }
    missing.push_back(DisplayMode{});
    // Rates that overflow any arithmetic in mHz or as unsigned.
    for (int hz : {INT_MAX, INT_MAX / 1000 + 1, -before.DisplayFrequency}) {
        DisplayMode m = before;
        m.DisplayFrequency = hz;
        missing.push_back(m);
    }
    int tried = 0, wrong = 0;
    for (const DisplayMode &m : missing) {
        if (listed(modes, m))
            continue;
        ++tried;
        const State offered = backend.availability(m);
        const Result result = backend.apply(m);
        if (offered != State::NotOffered || result != Result::NotOffered) {
            ++wrong;
            std::printf("# %s: availability %s, apply %s\n", str(m).c_str(), name(offered),
                        name(result));
        }
    }
    check(read && tried >= 4 && wrong == 0,
          std::to_string(tried) + " values that no listed mode has are NotOffered ("
              + std::to_string(wrong) + " are not)");
    const bool kept = read && current(backend, after) && after == before;
    check(kept, "values not offered leave the current settings at " + str(before));
}

void reapplyCurrent(Backend &backend)
{
    DisplayMode before, after;
    const bool read = current(backend, before);
    const Result result = backend.apply(before);
    std::printf("reapplied %s\n", str(before).c_str());
    check(read && result == Result::Applied,
          "applying the current values " + str(before) + " is " + name(result));
    const bool kept = current(backend, after) && after == before;
    check(kept, "a re-apply keeps the current settings (read " + str(after) + ")");
}

// Every listed record goes to Windows as its four values alone, whatever else it carries.
void request()
{
    const std::wstring device(pinned.begin(), pinned.end());
    DEVMODEW record;
    int records = 0, wrong = 0;
    DWORD richest = 0;
    for (DWORD n = 0; ZeroMemory(&record, sizeof record), record.dmSize = sizeof record,
               EnumDisplaySettingsW(device.c_str(), n, &record);
         ++n, ++records) {
        richest |= record.dmFields;
        const DEVMODEW sent = Win32DisplayBackend::switchRequest(record);
        wrong += sent.dmFields != (DM_PELSWIDTH | DM_PELSHEIGHT | DM_BITSPERPEL | DM_DISPLAYFREQUENCY)
            || sent.dmPelsWidth != record.dmPelsWidth || sent.dmPelsHeight != record.dmPelsHeight
            || sent.dmBitsPerPel != record.dmBitsPerPel || sent.dmDisplayFrequency != record.dmDisplayFrequency
            || sent.dmSize != sizeof sent;
    }
    std::printf("records carry fields %08lx\n", static_cast<unsigned long>(richest));
    check(records > 0 && wrong == 0, "each of " + std::to_string(records) + " listed records is sent as its four values ("
                                         + std::to_string(wrong) + " are not)");
}

// The pinned output has no mode: nothing reads as Active and no apply switches it on.
void off(Backend &backend)
{
    const std::vector<DisplayMode> modes = enumerate(backend);
    DisplayMode m;
    const State state = backend.current(m);
    check(state == State::Off, std::string("an output without a mode reads Off (") + name(state)
              + ")");
    int wrong = 0;
    for (size_t n = 0; n < modes.size() && n < 3; ++n) {
        const State offered = backend.availability(modes[n]);
        const Result result = backend.apply(modes[n]);
        if (offered != State::Off || result != Result::Off) {
            ++wrong;
            std::printf("# %s: availability %s, apply %s\n", str(modes[n]).c_str(),
                        name(offered), name(result));
        }
    }
    check(!modes.empty() && wrong == 0, "listed modes on an output that is off are Off, not applied ("
              + std::to_string(wrong) + " are not)");
    check(backend.current(m) == State::Off, "the output is still Off after those applies");
}

// No device was on the desktop when the backend pinned one.
void none(Backend &backend)
{
    check(pinned.empty(), "with no output on, pinOutput names none (named " + pinned + ")");
    DisplayMode m;
    const bool listed = backend.mode(0, m);
    const State state = backend.current(m);
    // Any values: nothing may be applied to no output. These are a common mode.
    const DisplayMode some{1024, 768, 32, 60};
    const State offered = backend.availability(some);
    const Result result = backend.apply(some);
    check(!listed && state == State::Absent && offered == State::Absent && result == Result::Absent,
          std::string("nothing is listed, read or applied: mode(0) ") + (listed ? "listed" : "none")
              + ", current " + name(state) + ", availability " + name(offered) + ", apply "
              + name(result));
}

// The GUI thread enumerates and reads while the lock thread re-applies: neither may see the
// other's work as a gap in the list or a changed mode.
void threads(Backend &backend)
{
    const std::vector<DisplayMode> modes = enumerate(backend);
    DisplayMode now;
    const bool read = current(backend, now);
    int badLists = 0, badReads = 0, refusals = 0;

    std::thread lister([&] {
        for (int round = 0; round < 4; ++round) {
            if (enumerate(backend) != modes)
                ++badLists;
            DisplayMode m;
            if (!current(backend, m) || m != now || backend.availability(now) != State::Active)
                ++badReads;
        }
    });
    std::thread locker([&] {
        for (int round = 0; round < 8; ++round) {
            if (backend.apply(now) != Result::Applied)
                ++refusals;
            DisplayMode m;
            if (!current(backend, m) || m != now)
                ++badReads;
        }
    });
    lister.join();
    locker.join();

    check(read && !modes.empty(), "threads: the list and the current settings can be read");
    check(badLists == 0, "threads: enumeration during re-applies gives the same list ("
                             + std::to_string(badLists) + " of 4 differ)");
    check(refusals == 0, "threads: re-applies during enumeration are accepted ("
                             + std::to_string(refusals) + " of 8 refused)");
    check(badReads == 0, "threads: current settings stay " + str(now) + " ("
                             + std::to_string(badReads) + " of 12 reads differ)");
}

const char *name(DisplayOutput::State s)
{
    switch (s) {
    case DisplayOutput::State::Active: return "Active";
    case DisplayOutput::State::Off: return "Off";
    case DisplayOutput::State::Unreadable: return "Unreadable";
    }
    return "?";
}

std::string utf8(const wchar_t *s)
{
    char buf[256];
    WideCharToMultiByte(CP_UTF8, 0, s, -1, buf, sizeof buf, nullptr, nullptr);
    return buf;
}

void outputs(Win32DisplayBackend &backend)
{
    std::vector<DisplayOutput> read;
    check(backend.readOutputs(read), "the outputs can be read");
    std::string names, primaries;
    for (const DisplayOutput &o : read) {
        std::printf("output %s %s %s %s%s label %s\n", o.name.c_str(), o.primary ? "primary" : "-", name(o.state),
                    o.identity.empty() ? "-" : o.identity.c_str(),
                    o.state == DisplayOutput::State::Active ? (" " + str(o.current)).c_str() : "", o.label.c_str());
        names += o.name + " ";
        if (o.primary)
            primaries += o.name + " ";
    }
    // What USER32 shows without the backend: devices on the desktop or with a monitor.
    std::string expected;
    DISPLAY_DEVICEW dd, monitor;
    for (DWORD i = 0; ZeroMemory(&dd, sizeof dd), dd.cb = sizeof dd, EnumDisplayDevicesW(nullptr, i, &dd, 0); ++i) {
        ZeroMemory(&monitor, sizeof monitor);
        monitor.cb = sizeof monitor;
        const bool connected = EnumDisplayDevicesW(dd.DeviceName, 0, &monitor, 0);
        if ((dd.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) || connected)
            expected += utf8(dd.DeviceName) + " ";
    }
    check(!names.empty() && names == expected, "the outputs are " + expected + "(read " + names + ")");
    check(pinned.empty() || primaries == pinned + " ", "the pinned output is the one primary (primary " + primaries + ")");

    // A monitor's device ID names what its EDID does: GSM 0x5B09, no serial number.
    uint8_t edid[128] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0x1e, 0x6d, 0x09, 0x5b};
    DisplayOutput fromEdid, fromId, fromLower, fromDefault;
    MonitorIdentity::fromEdid(edid, sizeof edid, fromEdid);
    const bool named = Win32DisplayBackend::identityFromDeviceId(
        "MONITOR\\GSM5B09\\{4d36e96e-e325-11ce-bfc1-08002be10318}\\0001", "LG ULTRAGEAR", fromId);
    Win32DisplayBackend::identityFromDeviceId("MONITOR\\GSM5b09\\{4d36e96e-e325-11ce-bfc1-08002be10318}\\0002", "", fromLower);
    const bool unnamed = !Win32DisplayBackend::identityFromDeviceId(
        "MONITOR\\Default_Monitor\\{4d36e96e-e325-11ce-bfc1-08002be10318}\\0000", "Generic Non-PnP Monitor", fromDefault);
    check(named && !fromEdid.identity.empty() && fromId.identity == fromEdid.identity && !fromId.hasSerial
              && fromId.label == "LG ULTRAGEAR" && fromLower.identity == fromEdid.identity
              && fromLower.label == fromEdid.label,
          "a monitor ID gives the EDID's identity " + fromEdid.identity + " (gives " + fromId.identity + ", "
              + fromLower.identity + ", label " + fromLower.label + ")");
    check(unnamed && fromDefault.identity.empty() && fromDefault.label == "Generic Non-PnP Monitor",
          "an ID without maker and product gives no identity (gives " + fromDefault.identity + ")");
}

// A listed mode of another size than the one in use, at its depth.
bool another(Backend &backend, const DisplayOutput &o, DisplayMode &out)
{
    std::vector<DisplayMode> modes;
    backend.readModes(o.name, modes);
    for (const DisplayMode &m : modes) {
        if (m.BitsPerPel == o.current.BitsPerPel && m.PelsWidth != o.current.PelsWidth) {
            out = m;
            return true;
        }
    }
    return false;
}

void both(Backend &backend)
{
    std::vector<DisplayOutput> read, after;
    backend.readOutputs(read);
    std::vector<DisplayOutput> on;
    for (const DisplayOutput &o : read)
        if (o.state == DisplayOutput::State::Active)
            on.push_back(o);
    DisplayMode a, b;
    if (on.size() < 2 || !another(backend, on[0], a) || !another(backend, on[1], b)) {
        check(false, "two outputs are on, each with another size listed (" + std::to_string(on.size()) + " on)");
        return;
    }
    DisplayMode unlisted = b;
    unlisted.DisplayFrequency = INT_MAX;
    const Result refused = backend.applyModes({{on[0].name, a}, {on[1].name, unlisted}});
    backend.readOutputs(after);
    const DisplayOutput *x = nullptr, *y = nullptr;
    DisplayBackend::stateOf(after, on[0].name, &x);
    DisplayBackend::stateOf(after, on[1].name, &y);
    check(refused == Result::NotOffered && x && y && x->current == on[0].current && y->current == on[1].current,
          std::string("an apply whose second change cannot be switches neither (") + name(refused) + ")");

    const Result result = backend.applyModes({{on[0].name, a}, {on[1].name, b}});
    for (size_t i = 0; i < 2; ++i)
        std::printf("both %s %s %s\n", on[i].name.c_str(), on[i].primary ? "primary" : "-", str(i ? b : a).c_str());
    backend.readOutputs(after);
    DisplayBackend::stateOf(after, on[0].name, &x);
    DisplayBackend::stateOf(after, on[1].name, &y);
    check(result == Result::Applied, std::string("two outputs in one apply: ") + name(result));
    check(x && y && x->current == a && y->current == b,
          "both outputs read their new modes (" + (x ? str(x->current) : "-") + ", " + (y ? str(y->current) : "-") + ")");
}

// Settings and place of a device as EnumDisplaySettingsW reads them, without the backend.
struct Placed
{
    DisplayMode mode;
    long x = 0, y = 0;
    bool read = false;
    std::string str() const { return ::str(mode) + " at " + std::to_string(x) + "," + std::to_string(y); }
    bool operator==(const Placed &o) const { return read && o.read && mode == o.mode && x == o.x && y == o.y; }
};

Placed placed(const std::string &device)
{
    const std::wstring name(device.begin(), device.end());
    DEVMODEW dm;
    ZeroMemory(&dm, sizeof dm);
    dm.dmSize = sizeof dm;
    Placed p;
    p.read = EnumDisplaySettingsW(name.c_str(), ENUM_CURRENT_SETTINGS, &dm) != FALSE;
    p.mode = {int(dm.dmPelsWidth), int(dm.dmPelsHeight), int(dm.dmBitsPerPel), int(dm.dmDisplayFrequency)};
    p.x = dm.dmPosition.x;
    p.y = dm.dmPosition.y;
    return p;
}

// "placed NAME X,Y": another program moves a device to (x, y) as programs do, straight through
// ChangeDisplaySettingsExW: DM_POSITION with the mode fields it is in (Wine takes a place only
// together with them), applied at once; the place is read back by EnumDisplaySettingsW.
void place(const std::string &device, long x, long y)
{
    const std::wstring name(device.begin(), device.end());
    DEVMODEW dm;
    ZeroMemory(&dm, sizeof dm);
    dm.dmSize = sizeof dm;
    const bool read = EnumDisplaySettingsW(name.c_str(), ENUM_CURRENT_SETTINGS, &dm) != FALSE;
    dm.dmPosition.x = x;
    dm.dmPosition.y = y;
    dm.dmFields = DM_POSITION | DM_PELSWIDTH | DM_PELSHEIGHT | DM_BITSPERPEL | DM_DISPLAYFREQUENCY;
    const LONG result = read ? ChangeDisplaySettingsExW(name.c_str(), &dm, nullptr, 0, nullptr) : DISP_CHANGE_FAILED;
    const Placed now = placed(device);
    std::printf("placed %s %ld,%ld\n", device.c_str(), now.x, now.y);
    check(result == DISP_CHANGE_SUCCESSFUL && now.x == x && now.y == y,
          device + " moved to " + std::to_string(x) + "," + std::to_string(y) + " (answer " + std::to_string(result)
              + ", reads " + now.str() + ")");
}

// Three outputs on: the last one moved under the primary in another mode, in one apply; the
// one between, not named, keeps its place and the mode it was switched to just before (for this
// session only, so not in the registry, whose settings the arrangement's closing call applies).
void arrange(Backend &backend)
{
    std::vector<DisplayOutput> read;
    backend.readOutputs(read);
    std::vector<DisplayOutput> on;
    for (const DisplayOutput &o : read)
        if (o.state == DisplayOutput::State::Active)
            on.push_back(o);
    std::stable_partition(on.begin(), on.end(), [](const DisplayOutput &o) { return o.primary; });
    DisplayMode kept, moved;
    if (on.size() < 3 || !on[0].primary || !another(backend, on[1], kept) || !another(backend, on[2], moved)) {
        check(false, "three outputs are on, the first primary, each with another size listed (" + std::to_string(on.size()) + " on)");
        return;
    }
    const DisplayOutput &primary = on[0], &between = on[1], &last = on[2];
    const Placed primaryBefore = placed(primary.name);
    check(backend.applyModes({{between.name, kept}}) == Result::Applied, "the output between switches to " + str(kept));
    const Placed betweenBefore = placed(between.name);

    OutputChange change;
    change.output = last.name;
    change.mode = moved;
    change.position = std::make_pair(0, primary.current.PelsHeight);
    const Result result = backend.apply({change});
    const Placed now = placed(last.name);
    std::printf("arranged %s %s\n", last.name.c_str(), now.str().c_str());
    check(result == Result::Applied, std::string("a place and a mode in one apply: ") + name(result));
    check(now.read && now.mode == moved && now.x == 0 && now.y == primary.current.PelsHeight,
          last.name + " reads " + str(moved) + " at 0," + std::to_string(primary.current.PelsHeight) + " (reads " + now.str() + ")");
    std::vector<DisplayOutput> after;
    backend.readOutputs(after);
    const DisplayOutput *o = nullptr;
    DisplayBackend::stateOf(after, last.name, &o);
    check(o && o->x == now.x && o->y == now.y && o->transform == Normal,
          "the backend reads that place (" + (o ? std::to_string(o->x) + "," + std::to_string(o->y) : std::string("-")) + ")");
    const Placed betweenAfter = placed(between.name), primaryAfter = placed(primary.name);
    check(betweenAfter == betweenBefore && primaryAfter == primaryBefore,
          "the outputs not named keep their place and mode (" + between.name + " " + betweenAfter.str() + ", was "
              + betweenBefore.str() + "; " + primary.name + " " + primaryAfter.str() + ")");

    // Back as it was: the last output's place and mode in one apply, the other's mode.
    change.mode = last.current;
    change.position = std::make_pair(last.x, last.y);
    const Result back = backend.apply({change});
    const Result modeBack = backend.applyModes({{between.name, between.current}});
    const Placed lastBack = placed(last.name), betweenBack = placed(between.name);
    check(back == Result::Applied && modeBack == Result::Applied && lastBack.mode == last.current && lastBack.x == last.x
              && lastBack.y == last.y && betweenBack.mode == between.current && betweenBack.x == between.x,
          "both back: " + last.name + " " + lastBack.str() + ", " + between.name + " " + betweenBack.str());
}

void wait()
{
    std::printf("waiting\n");
    std::fflush(stdout);
    char line[64];
    if (!std::fgets(line, sizeof line, stdin))
        std::fprintf(stderr, "wait: stdin closed\n");
}

std::atomic<int> announcements{0};

void announced()
{
    for (int i = 0; i < 50 && announcements == 0; ++i)
        Sleep(100);
    check(announcements > 0, "another process's switch was announced (" + std::to_string(announcements)
                                 + " announcement(s))");
}

} // namespace

int main(int argc, char **argv)
{
    Backend backend;
    pinned = backend.pinOutput();
    std::printf("pinned %s\n", pinned.c_str());
    for (int i = 1; i < argc; ++i) {
        const char *cmd = argv[i];
        if (!std::strcmp(cmd, "devices"))
            devices();
        else if (!std::strcmp(cmd, "list"))
            list(backend);
        else if (!std::strcmp(cmd, "current"))
            showCurrent(backend);
        else if (!std::strcmp(cmd, "apply"))
            apply(backend, number(argc, argv, i));
        else if (!std::strcmp(cmd, "set") || !std::strcmp(cmd, "push")) {
            DisplayMode m;
            m.PelsWidth = number(argc, argv, i);
            m.PelsHeight = number(argc, argv, i);
            m.BitsPerPel = number(argc, argv, i);
            m.DisplayFrequency = number(argc, argv, i);
            if (cmd[0] == 's')
                applyValues(backend, "set", m);
            else
                push(backend, m);
        } else if (!std::strcmp(cmd, "on") && i + 1 < argc) {
            targets.clear();
            const std::string names = argv[++i];
            for (size_t start = 0, comma = 0; start <= names.size(); start = comma + 1) {
                comma = std::min(names.find(',', start), names.size());
                targets.push_back(names.substr(start, comma - start));
            }
        } else if (!std::strcmp(cmd, "state")) {
            DisplayMode m;
            const State state = backend.current(m);
            std::printf("state %s%s\n", name(state),
                        state == State::Active ? (" " + str(m)).c_str() : "");
        } else if (!std::strcmp(cmd, "refuse"))
            refuse(backend, number(argc, argv, i));
        else if (!std::strcmp(cmd, "apply-missing"))
            applyMissing(backend);
        else if (!std::strcmp(cmd, "request"))
            request();
        else if (!std::strcmp(cmd, "reapply-current"))
            reapplyCurrent(backend);
        else if (!std::strcmp(cmd, "off"))
            off(backend);
        else if (!std::strcmp(cmd, "none"))
            none(backend);
        else if (!std::strcmp(cmd, "outputs"))
            outputs(backend);
        else if (!std::strcmp(cmd, "both"))
            both(backend);
        else if (!std::strcmp(cmd, "arrange"))
            arrange(backend);
        else if (!std::strcmp(cmd, "place") && i + 1 < argc) {
            const std::string device = argv[++i];
            const long x = number(argc, argv, i);
            place(device, x, number(argc, argv, i));
        }
        else if (!std::strcmp(cmd, "threads"))
            threads(backend);
        else if (!std::strcmp(cmd, "wait"))
            wait();
        else if (!std::strcmp(cmd, "watch"))
            backend.setChangeCallback([] { ++announcements; });
        else if (!std::strcmp(cmd, "announced"))
            announced();
        else {
            std::fprintf(stderr, "unknown command %s\n", cmd);
            return 2;
        }
        std::fflush(stdout);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
