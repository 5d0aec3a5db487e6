// Timing from outside the program, on the X server named by $DISPLAY (xcb + RandR only):
//
//   velmora_xwatch restore OUTPUT[,OUTPUT...] LOCKED INTERVAL_MS COUNT MODE[,MODE...]
//     The program under test holds each OUTPUT at mode LOCKED (a mode name). COUNT times, another
//     process (one xrandr --output OUTPUT --mode MODE ... for all the outputs at once, modes taken
//     in turn; or the program named by VELMORA_XWATCH_SWITCH, run as PROGRAM OUTPUT[,OUTPUT...]
//     MODE) switches the mode; RandR CRTC-change events tell when a foreign mode first
//     replaced a locked one (t0) and when the locked one is back on every output that was
//     switched (t1). Restore latency = t1 - t0, on this process's clock
//     (not the events' server timestamps: on the test server they differ from the gaps seen
//     here by hundreds of ms, so they do not date the switches). Between switches it waits
//     one interval + 50 ms + a golden-ratio share of an interval (k * 0.618 mod 1): each
//     switch is a fresh event for a rate limit of one restore per interval, and the switches
//     fall evenly over the phase of a poll timer instead of at random places.
//
//   velmora_xwatch startup SETTLE_MS PROGRAM [ARG...]
//     Starts PROGRAM (environment inherited) and times from just before the start to the
//     MapNotify of its main window (a top-level with WM_CLASS "velmora", at least 300 px
//     wide); SETTLE_MS later reads VmRSS from /proc, then ends the program (SIGTERM).
//
// Output: one line per sample (restore: three decimals, for bench/report.py takes its percentiles
// from them) and a final "RESULT ..." line; errors on stderr, exit 1.
#include "Percentile.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

double nowMs()
{
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

template<typename T>
struct FreeDeleter
{
    void operator()(T *p) const { std::free(p); }
};
template<typename T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;

[[noreturn]] void fail(const std::string &why)
{
    std::fprintf(stderr, "velmora_xwatch: %s\n", why.c_str());
    std::exit(1);
}

struct Connection
{
    xcb_connection_t *c = nullptr;
    xcb_window_t root = XCB_NONE;

    Connection()
    {
        int screen = 0;
        c = xcb_connect(nullptr, &screen);
        if (xcb_connection_has_error(c))
            fail("cannot connect to $DISPLAY");
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
        for (int i = 0; i < screen && it.rem; ++i)
            xcb_screen_next(&it);
        root = it.data->root;
    }
    ~Connection() { xcb_disconnect(c); }

    // The next event, or null once `deadline` (nowMs() clock) has passed.
    xcb_generic_event_t *waitEvent(double deadline)
    {
        for (;;) {
            if (xcb_generic_event_t *e = xcb_poll_for_event(c))
                return e;
            if (xcb_connection_has_error(c))
                fail("the X connection broke");
            const double left = deadline - nowMs();
            if (left <= 0)
                return nullptr;
            pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
            poll(&p, 1, int(std::ceil(left)));
        }
    }
};

pid_t spawn(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        fail("cannot start " + args[0]);
    return pid;
}

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string item;
    while (std::getline(in, item, sep))
        if (!item.empty())
            out.push_back(item);
    return out;
}

// ---- restore --------------------------------------------------------------------------

int restore(const std::vector<std::string> &outputNames, const std::string &lockedName, int interval, int count,
            const std::vector<std::string> &foreignModes)
{
    Connection x;
    Reply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(x.c, xcb_randr_query_version(x.c, 1, 3), nullptr));
    if (!version)
        fail("no RandR");
    const uint8_t randrEvent = xcb_get_extension_data(x.c, &xcb_randr_id)->first_event + XCB_RANDR_NOTIFY;
    // Subscribe before the first look, so that nothing falls between the two.
    xcb_randr_select_input(x.c, x.root, XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE);

    Reply<xcb_randr_get_screen_resources_current_reply_t> res(xcb_randr_get_screen_resources_current_reply(
        x.c, xcb_randr_get_screen_resources_current(x.c, x.root), nullptr));
    if (!res)
        fail("cannot read the screen resources");
    // Mode names: the names blob holds them back to back, in the order of the mode infos.
    const xcb_randr_mode_info_t *infos = xcb_randr_get_screen_resources_current_modes(res.get());
    const int modeCount = xcb_randr_get_screen_resources_current_modes_length(res.get());
    const char *names = reinterpret_cast<const char *>(xcb_randr_get_screen_resources_current_names(res.get()));
    auto modeId = [&](const std::string &name) {
        const char *p = names;
        for (int i = 0; i < modeCount; ++i) {
            if (std::string(p, infos[i].name_len) == name)
                return infos[i].id;
            p += infos[i].name_len;
        }
        fail("no mode named " + name);
    };
    const xcb_randr_mode_t locked = modeId(lockedName);
    for (const std::string &m : foreignModes)
        if (modeId(m) == locked)
            fail("a foreign mode is the locked one");

    // The CRTC of each output, in the order given.
    std::vector<xcb_randr_crtc_t> crtcs(outputNames.size(), XCB_NONE);
    const xcb_randr_output_t *outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
    for (int i = 0; i < xcb_randr_get_screen_resources_current_outputs_length(res.get()); ++i) {
        Reply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(
            x.c, xcb_randr_get_output_info(x.c, outputs[i], res->config_timestamp), nullptr));
        if (!info)
            continue;
        const std::string name(reinterpret_cast<const char *>(xcb_randr_get_output_info_name(info.get())),
                               size_t(xcb_randr_get_output_info_name_length(info.get())));
        for (size_t o = 0; o < outputNames.size(); ++o)
            if (outputNames[o] == name)
                crtcs[o] = info->crtc;
    }
    for (size_t o = 0; o < outputNames.size(); ++o) {
        if (crtcs[o] == XCB_NONE)
            fail("output " + outputNames[o] + " has no CRTC");
        Reply<xcb_randr_get_crtc_info_reply_t> crtcInfo(xcb_randr_get_crtc_info_reply(
            x.c, xcb_randr_get_crtc_info(x.c, crtcs[o], res->config_timestamp), nullptr));
        if (!crtcInfo || crtcInfo->mode != locked)
            fail(outputNames[o] + " is not in the locked mode " + lockedName + " at the start");
    }

    struct CrtcEvent
    {
        double at;
        size_t output;
        xcb_randr_mode_t mode;
    };
    // The next CRTC change of one of our CRTCs before `deadline`.
    auto nextChange = [&](double deadline, CrtcEvent &out) {
        while (xcb_generic_event_t *e = x.waitEvent(deadline)) {
            const double at = nowMs();
            std::unique_ptr<xcb_generic_event_t, FreeDeleter<xcb_generic_event_t>> owned(e);
            if ((e->response_type & 0x7f) != randrEvent)
                continue;
            auto *n = reinterpret_cast<xcb_randr_notify_event_t *>(e);
            if (n->subCode != XCB_RANDR_NOTIFY_CRTC_CHANGE)
                continue;
            const auto o = std::find(crtcs.begin(), crtcs.end(), n->u.cc.crtc);
            if (o == crtcs.end())
                continue;
            out = {at, size_t(o - crtcs.begin()), n->u.cc.mode};
            return true;
        }
        return false;
    };

    // Another program than xrandr may make the switches: VELMORA_XWATCH_SWITCH=PROGRAM, run as
    // PROGRAM OUTPUT[,OUTPUT...] MODE, all of them at once (bench/wine.sh: a Windows program
    // under Wine).
    const char *switchEnv = std::getenv("VELMORA_XWATCH_SWITCH");
    const std::string switcher = switchEnv ? switchEnv : "";
    std::string joined;
    for (const std::string &o : outputNames)
        joined += (joined.empty() ? "" : ",") + o;
    const double timeout = 3.0 * interval + 3000;
    std::vector<double> latencies;
    int timeouts = 0, unexpected = 0;
    std::printf("# switch  foreign-mode  xrandr-start-to-switch-ms  restore-ms\n");
    for (int k = 0; k < count; ++k) {
        // The pause: drain what comes, and note any change nobody asked for.
        const double phase = std::fmod(k * 0.6180339887498949, 1.0);
        const double pauseEnd = nowMs() + interval + 50 + phase * interval;
        CrtcEvent ev{};
        while (nextChange(pauseEnd, ev)) {
            if (ev.mode != locked)
                ++unexpected;
        }

        const std::string &mode = foreignModes[size_t(k) % foreignModes.size()];
        const double launched = nowMs();
        std::vector<std::string> command{"xrandr"};
        for (const std::string &o : outputNames)
            command.insert(command.end(), {"--output", o, "--mode", mode});
        const pid_t pid = spawn(switcher.empty() ? command : std::vector<std::string>{switcher, joined, mode});

        // t0: a locked mode leaves its CRTC (xrandr may first switch it off, then on).
        // t1: every output has left the locked mode and has it again.
        std::vector<bool> switched(crtcs.size(), false), off(crtcs.size(), false);
        CrtcEvent left{}, back{};
        bool gotLeft = false, gotBack = false;
        while (!gotBack && nextChange((gotLeft ? left.at : launched) + timeout, ev)) {
            off[ev.output] = ev.mode != locked;
            switched[ev.output] = switched[ev.output] || off[ev.output];
            if (!gotLeft && off[ev.output]) {
                left = ev;
                gotLeft = true;
            }
            if (gotLeft && std::count(switched.begin(), switched.end(), true) == long(crtcs.size())
                && std::count(off.begin(), off.end(), true) == 0) {
                back = ev;
                gotBack = true;
            }
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            fail("xrandr --mode " + mode + " failed");
        if (!gotLeft)
            fail("xrandr switched to " + mode + " but no CRTC change came");
        if (!gotBack) {
            ++timeouts;
            std::printf("%3d  %-16s %8.3f  timeout(>%.0f ms)\n", k + 1, mode.c_str(), left.at - launched, timeout);
            // Put it back ourselves, so that the next switch starts from the locked mode.
            std::vector<std::string> fixCommand{"xrandr"};
            for (const std::string &o : outputNames)
                fixCommand.insert(fixCommand.end(), {"--output", o, "--mode", lockedName});
            const pid_t fix = spawn(fixCommand);
            waitpid(fix, &status, 0);
            continue;
        }
        latencies.push_back(back.at - left.at);
        std::printf("%3d  %-16s %8.3f  %8.3f\n", k + 1, mode.c_str(), left.at - launched, back.at - left.at);
        std::fflush(stdout);
    }
    const double maxMs = latencies.empty() ? NAN : *std::max_element(latencies.begin(), latencies.end());
    const double minMs = latencies.empty() ? NAN : *std::min_element(latencies.begin(), latencies.end());
    std::printf("RESULT n=%zu timeouts=%d unexpected=%d p50=%.2f p90=%.2f max=%.2f min=%.2f p10=%.2f\n",
                latencies.size(), timeouts, unexpected, percentile(latencies, 0.5), percentile(latencies, 0.9), maxMs,
                minMs, percentile(latencies, 0.1));
    return 0;
}

// ---- startup --------------------------------------------------------------------------

std::string windowClass(xcb_connection_t *c, xcb_window_t w)
{
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c, xcb_get_property(c, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256), nullptr));
    if (!r)
        return std::string();
    std::string s(static_cast<const char *>(xcb_get_property_value(r.get())), size_t(xcb_get_property_value_length(r.get())));
    std::replace(s.begin(), s.end(), '\0', ' ');
    return s;
}

long vmRssKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

int startup(int settleMs, const std::vector<std::string> &command)
{
    Connection x;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x.c, x.root, XCB_CW_EVENT_MASK, &mask);
    // Make sure the subscription is in force before the program starts.
    free(xcb_get_input_focus_reply(x.c, xcb_get_input_focus(x.c), nullptr));

    const double started = nowMs();
    const pid_t pid = spawn(command);
    double mapped = -1;
    std::string cls;
    while (mapped < 0) {
        xcb_generic_event_t *e = x.waitEvent(started + 20000);
        if (!e)
            break;
        const double at = nowMs();
        if ((e->response_type & 0x7f) == XCB_MAP_NOTIFY) {
            const auto *m = reinterpret_cast<xcb_map_notify_event_t *>(e);
            if (m->event == x.root) {
                cls = windowClass(x.c, m->window);
                Reply<xcb_get_geometry_reply_t> g(
                    xcb_get_geometry_reply(x.c, xcb_get_geometry(x.c, m->window), nullptr));
                if (cls.find("velmora") != std::string::npos && g && g->width >= 300)
                    mapped = at - started;
            }
        }
        free(e);
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            fail("the program ended before its window was mapped");
    }
    long rss = -1;
    if (mapped >= 0) {
        usleep(useconds_t(settleMs) * 1000);
        rss = vmRssKb(pid);
    }
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) != pid; ++i)
        usleep(50000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    if (mapped < 0)
        fail("no main window was mapped within 20 s");
    std::printf("RESULT mapped_ms=%.2f rss_kb=%ld\n", mapped, rss);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "restore" && argc == 7)
        return restore(split(argv[2], ','), argv[3], std::atoi(argv[4]), std::atoi(argv[5]), split(argv[6], ','));
    if (cmd == "startup" && argc >= 4)
        return startup(std::atoi(argv[2]), std::vector<std::string>(argv + 3, argv + argc));
    std::fprintf(stderr,
                 "usage: velmora_xwatch restore OUTPUT[,OUTPUT...] LOCKED INTERVAL_MS COUNT MODE[,MODE...]\n"
                 "       velmora_xwatch startup SETTLE_MS PROGRAM [ARG...]\n");
    return 2;
}
