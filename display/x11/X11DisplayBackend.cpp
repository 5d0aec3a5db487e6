#include "X11DisplayBackend.h"

#include "RefreshRate.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

template<typename T>
struct FreeDeleter
{
    void operator()(T *p) const { std::free(p); }
};
template<typename T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;
using OutputInfo = std::shared_ptr<xcb_randr_get_output_info_reply_t>;
// Every mode of the screen by id, from the last resources read. A mode never changes while it
// exists, and the server does not hand out a destroyed mode's id again.
using ModeTable = std::unordered_map<xcb_randr_mode_t, xcb_randr_mode_info_t>;

OutputInfo shared(xcb_randr_get_output_info_reply_t *reply)
{
    return OutputInfo(reply, FreeDeleter<xcb_randr_get_output_info_reply_t>());
}

std::string nameOf(const xcb_randr_get_output_info_reply_t *info)
{
    const char *name = reinterpret_cast<const char *>(
        xcb_randr_get_output_info_name(const_cast<xcb_randr_get_output_info_reply_t *>(info)));
    return std::string(name, size_t(xcb_randr_get_output_info_name_length(info)));
}

// Whole Hz from the timing: the frame is twice as tall for double scan and half as tall
// interlaced.
int refreshRate(const xcb_randr_mode_info_t &info)
{
    double vtotal = info.vtotal;
    if (info.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN)
        vtotal *= 2;
    if (info.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE)
        vtotal /= 2;
    return RefreshRate::wholeHz(double(info.dot_clock), double(info.htotal), vtotal);
}

using Resources = Reply<xcb_randr_get_screen_resources_current_reply_t>;

// What one read of the server tells about the pinned output.
struct OutputView
{
    const ModeTable *modes = nullptr;
    xcb_randr_output_t output = XCB_NONE;
    OutputInfo outputInfo; // null: the output is gone
    Reply<xcb_randr_get_crtc_info_reply_t> crtc; // the CRTC driving it, if any

    DisplayBackend::OutputState state() const
    {
        if (!outputInfo || outputInfo->connection != XCB_RANDR_CONNECTION_CONNECTED)
            return DisplayBackend::OutputState::Absent;
        if (!crtc || crtc->mode == XCB_NONE)
            return DisplayBackend::OutputState::Off;
        return DisplayBackend::OutputState::Active;
    }

    int modeCount() const { return outputInfo ? xcb_randr_get_output_info_modes_length(outputInfo.get()) : 0; }
    xcb_randr_mode_t modeId(int n) const { return xcb_randr_get_output_info_modes(outputInfo.get())[n]; }

    const xcb_randr_mode_info_t *modeInfo(xcb_randr_mode_t id) const
    {
        const auto it = modes->find(id);
        return it != modes->end() ? &it->second : nullptr;
    }

    // Whether every mode the output lists, and the CRTC's, is in the table.
    bool modesKnown() const
    {
        for (int i = 0; i < modeCount(); ++i) {
            if (!modeInfo(modeId(i)))
                return false;
        }
        return !crtc || crtc->mode == XCB_NONE || modeInfo(crtc->mode);
    }
};

// The output together with the screen's resources, whose timestamps and CRTCs a change needs.
// Only a read that got the resources makes one.
struct ScreenView : OutputView
{
    Resources resources;

    xcb_timestamp_t timestamp() const { return resources->timestamp; }
    xcb_timestamp_t configTimestamp() const { return resources->config_timestamp; }
};

// Where the pinned output and its CRTC were last seen.
struct LastSeen
{
    xcb_randr_output_t output = XCB_NONE;
    xcb_randr_crtc_t crtc = XCB_NONE;
};

} // namespace

struct X11DisplayBackend::Private
{
    std::string displayName;
    std::string pinned;
    xcb_connection_t *connection = nullptr;
    xcb_window_t root = XCB_NONE;
    int bitsPerPixel = 0;
    int roundTrips = 0;
    // Asked for along with everything else, so that a steady-state read is one round trip.
    LastSeen lastSeen;
    ModeTable modes;

    ~Private() { disconnect(); }

    void disconnect()
    {
        lastSeen = LastSeen();
        if (connection)
            xcb_disconnect(connection);
        connection = nullptr;
    }

    bool connect()
    {
        if (connection && !xcb_connection_has_error(connection))
            return true;
        disconnect();
        int screenNumber = 0;
        connection = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
        if (xcb_connection_has_error(connection)) {
            disconnect();
            return false;
        }
        const xcb_setup_t *setup = xcb_get_setup(connection);
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
        for (int i = 0; i < screenNumber && screens.rem; ++i)
            xcb_screen_next(&screens);
        if (!screens.rem) {
            disconnect();
            return false;
        }
        root = screens.data->root;
        bitsPerPixel = 0;
        for (xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
            if (f.data->depth == screens.data->root_depth)
                bitsPerPixel = f.data->bits_per_pixel;
        }
        // GetScreenResourcesCurrent and GetOutputPrimary need RandR 1.3.
        Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
            connection, xcb_randr_query_version(connection, 1, 3), nullptr));
        ++roundTrips;
        if (!version || (version->major_version == 1 && version->minor_version < 3)) {
            disconnect();
            return false;
        }
        return true;
    }

    Reply<xcb_randr_get_crtc_info_reply_t> crtcInfo(xcb_randr_crtc_t crtc)
    {
        ++roundTrips;
        return Reply<xcb_randr_get_crtc_info_reply_t>(xcb_randr_get_crtc_info_reply(
            connection, xcb_randr_get_crtc_info(connection, crtc, XCB_CURRENT_TIME), nullptr));
    }

    // Every output of the screen with its info, in one round trip.
    std::vector<std::pair<xcb_randr_output_t, OutputInfo>> allOutputs(const Resources &resources)
    {
        const xcb_randr_output_t *outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
        const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
        std::vector<xcb_randr_get_output_info_cookie_t> cookies;
        for (int i = 0; i < count; ++i)
            cookies.push_back(xcb_randr_get_output_info(connection, outputs[i], resources->config_timestamp));
        ++roundTrips;
        std::vector<std::pair<xcb_randr_output_t, OutputInfo>> all;
        for (int i = 0; i < count; ++i) {
            if (OutputInfo info = shared(xcb_randr_get_output_info_reply(connection, cookies[i], nullptr)))
                all.emplace_back(outputs[i], info);
        }
        return all;
    }

    void readModes(const Resources &resources)
    {
        modes.clear();
        const xcb_randr_mode_info_t *infos = xcb_randr_get_screen_resources_current_modes(resources.get());
        const int count = xcb_randr_get_screen_resources_current_modes_length(resources.get());
        for (int i = 0; i < count; ++i)
            modes.emplace(infos[i].id, infos[i]);
    }

    // --- Reading the pinned output ------------------------------------------------------------

    // The requests for the output and the CRTC last seen; their replies come with receive().
    struct Asked
    {
        LastSeen ids;
        xcb_randr_get_output_info_cookie_t output {};
        xcb_randr_get_crtc_info_cookie_t crtc {};
    };

    Asked askLastSeen()
    {
        Asked asked{lastSeen, {}, {}};
        if (asked.ids.output != XCB_NONE)
            asked.output = xcb_randr_get_output_info(connection, asked.ids.output, XCB_CURRENT_TIME);
        if (asked.ids.crtc != XCB_NONE)
            asked.crtc = xcb_randr_get_crtc_info(connection, asked.ids.crtc, XCB_CURRENT_TIME);
        return asked;
    }

    // The output as asked for, when its id still names the pinned output.
    void receive(const Asked &asked, OutputView &s)
    {
        if (asked.ids.output != XCB_NONE)
            s.outputInfo = shared(xcb_randr_get_output_info_reply(connection, asked.output, nullptr));
        if (asked.ids.crtc != XCB_NONE)
            s.crtc.reset(xcb_randr_get_crtc_info_reply(connection, asked.crtc, nullptr));
        if (s.outputInfo && nameOf(s.outputInfo.get()) == pinned) {
            s.output = asked.ids.output;
        } else {
            s.outputInfo.reset();
            s.crtc.reset();
        }
    }

    // The pinned output by name, among all outputs of the screen.
    void findByName(const Resources &resources, OutputView &s)
    {
        if (pinned.empty())
            return;
        for (auto &[id, info] : allOutputs(resources)) {
            if (nameOf(info.get()) == pinned) {
                s.output = id;
                s.outputInfo = info;
                return;
            }
        }
    }

    // The CRTC that drives the output now, read again when it is not the one asked for.
    void followCrtc(OutputView &s, xcb_randr_crtc_t asked)
    {
        const xcb_randr_crtc_t driving = s.outputInfo ? s.outputInfo->crtc : xcb_randr_crtc_t(XCB_NONE);
        if (driving == XCB_NONE)
            s.crtc.reset();
        else if (!s.crtc || driving != asked)
            s.crtc = crtcInfo(driving);
    }

    void remember(const OutputView &s)
    {
        lastSeen = {s.output, s.outputInfo ? s.outputInfo->crtc : xcb_randr_crtc_t(XCB_NONE)};
    }

    // The steady-state poll: the output and its CRTC where they were last seen, one round trip
    // with small replies. False when that no longer does (the id names another output now, or
    // the output lists a mode not in the table).
    bool quickRead(OutputView &s)
    {
        s.modes = &modes;
        const Asked asked = askLastSeen();
        receive(asked, s);
        ++roundTrips;
        if (!s.outputInfo)
            return false;
        followCrtc(s, asked.ids.crtc);
        remember(s);
        return s.modesKnown();
    }

    // The screen's resources (GetScreenResourcesCurrent: it never probes the hardware, as
    // GetScreenResources would) with the output and its CRTC, all asked for at once. The
    // output is looked up by name only when its id no longer names it.
    bool readScreen(ScreenView &s)
    {
        if (!connect())
            return false;
        s.modes = &modes;
        auto resourcesCookie = xcb_randr_get_screen_resources_current(connection, root);
        const Asked asked = askLastSeen();
        s.resources.reset(xcb_randr_get_screen_resources_current_reply(connection, resourcesCookie, nullptr));
        receive(asked, s);
        ++roundTrips;
        if (!s.resources) {
            lastSeen = LastSeen();
            return false;
        }
        readModes(s.resources);
        if (!s.outputInfo)
            findByName(s.resources, s);
        followCrtc(s, asked.ids.crtc);
        remember(s);
        return true;
    }

    // The pinned output: the quick read where it does, else the full one.
    bool readOutput(OutputView &s)
    {
        if (!connect())
            return false;
        if (lastSeen.output != XCB_NONE) {
            OutputView quick;
            if (quickRead(quick)) {
                s = std::move(quick);
                return true;
            }
            if (xcb_connection_has_error(connection))
                return false;
        }
        ScreenView full;
        if (!readScreen(full))
            return false;
        s = std::move(full);
        return true;
    }

    // One read, and how the pinned output stands in it.
    OutputState read(OutputView &s) { return readOutput(s) ? s.state() : OutputState::Unreadable; }

    std::string pinPrimary()
    {
        pinned.clear();
        lastSeen = LastSeen();
        if (!connect())
            return pinned;
        auto primaryCookie = xcb_randr_get_output_primary(connection, root);
        Resources resources(xcb_randr_get_screen_resources_current_reply(
            connection, xcb_randr_get_screen_resources_current(connection, root), nullptr));
        Reply<xcb_randr_get_output_primary_reply_t> primary(
            xcb_randr_get_output_primary_reply(connection, primaryCookie, nullptr));
        ++roundTrips;
        if (!resources || !primary)
            return pinned;
        readModes(resources);
        const auto all = allOutputs(resources);
        for (const auto &[id, info] : all) {
            if (id == primary->output)
                pinned = nameOf(info.get());
        }
        // No primary: the first connected output that is on.
        for (const auto &[id, info] : all) {
            if (pinned.empty() && info->connection == XCB_RANDR_CONNECTION_CONNECTED && info->crtc != XCB_NONE)
                pinned = nameOf(info.get());
        }
        return pinned;
    }

    bool toMode(const OutputView &s, xcb_randr_mode_t id, DisplayMode &out) const
    {
        const xcb_randr_mode_info_t *info = s.modeInfo(id);
        if (!info)
            return false;
        out = {info->width, info->height, bitsPerPixel, refreshRate(*info)};
        return true;
    }

    // The mode to switch to for these values: the one in use when it has them (a re-apply
    // keeps its own timing), else the first the output lists with them.
    xcb_randr_mode_t modeFor(const OutputView &s, const DisplayMode &want) const
    {
        DisplayMode m;
        if (s.state() == OutputState::Active && toMode(s, s.crtc->mode, m) && m == want)
            return s.crtc->mode;
        for (int i = 0; i < s.modeCount(); ++i) {
            if (toMode(s, s.modeId(i), m) && m == want)
                return s.modeId(i);
        }
        return XCB_NONE;
    }

    bool checked(xcb_void_cookie_t cookie)
    {
        ++roundTrips;
        std::unique_ptr<xcb_generic_error_t, FreeDeleter<xcb_generic_error_t>> error(
            xcb_request_check(connection, cookie));
        return !error;
    }

    // --- Applying a mode, step by step --------------------------------------------------------

    enum class Result { Done, Failed, Stale };

    // Where the CRTC sits and how large the screen must be once it shows the new mode.
    struct Layout
    {
        int16_t x = 0, y = 0;
        uint16_t rotation = XCB_RANDR_ROTATION_ROTATE_0;
        int width = 0, height = 0;         // the screen that holds every CRTC afterwards
        int screenWidth = 0, screenHeight = 0; // the screen now
    };

    // The screen must hold every active CRTC once this one has its new size.
    bool computeScreenSize(const ScreenView &s, const xcb_randr_mode_info_t &mode, Layout &layout)
    {
        layout.x = s.crtc->x;
        layout.y = s.crtc->y;
        layout.rotation = s.crtc->rotation;
        const bool sideways = layout.rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270);
        layout.width = layout.x + (sideways ? mode.height : mode.width);
        layout.height = layout.y + (sideways ? mode.width : mode.height);
        const xcb_randr_crtc_t *crtcs = xcb_randr_get_screen_resources_current_crtcs(s.resources.get());
        const int count = xcb_randr_get_screen_resources_current_crtcs_length(s.resources.get());
        std::vector<xcb_randr_get_crtc_info_cookie_t> cookies;
        for (int i = 0; i < count; ++i)
            cookies.push_back(xcb_randr_get_crtc_info(connection, crtcs[i], XCB_CURRENT_TIME));
        auto geometryCookie = xcb_get_geometry(connection, root);
        for (int i = 0; i < count; ++i) {
            Reply<xcb_randr_get_crtc_info_reply_t> other(xcb_randr_get_crtc_info_reply(connection, cookies[i], nullptr));
            if (crtcs[i] != s.outputInfo->crtc && other && other->mode != XCB_NONE) {
                layout.width = std::max(layout.width, other->x + other->width);
                layout.height = std::max(layout.height, other->y + other->height);
            }
        }
        Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(connection, geometryCookie, nullptr));
        ++roundTrips;
        if (!geometry)
            return false;
        layout.screenWidth = geometry->width;
        layout.screenHeight = geometry->height;
        return true;
    }

    // Physical size for a screen of `pixels`, keeping the density the screen had when we
    // connected (96 dpi when the server reports none); at least 1 mm, which the server insists on.
    bool resizeScreen(int width, int height)
    {
        int setupWidth = 0, setupHeight = 0, setupMmWidth = 0, setupMmHeight = 0;
        for (xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection)); it.rem;
             xcb_screen_next(&it)) {
            if (it.data->root == root) {
                setupWidth = it.data->width_in_pixels;
                setupHeight = it.data->height_in_pixels;
                setupMmWidth = it.data->width_in_millimeters;
                setupMmHeight = it.data->height_in_millimeters;
            }
        }
        auto millimetres = [](int pixels, int currentPixels, int currentMm) {
            const double mmPerPixel = (currentPixels > 0 && currentMm > 0) ? double(currentMm) / currentPixels
                                                                         : 25.4 / 96.0;
            return uint32_t(std::max(1L, std::lround(pixels * mmPerPixel)));
        };
        return checked(xcb_randr_set_screen_size_checked(connection, root, uint16_t(width), uint16_t(height),
                                                         millimetres(width, setupWidth, setupMmWidth),
                                                         millimetres(height, setupHeight, setupMmHeight)));
    }

    // Grow first: a CRTC may not reach beyond the screen.
    bool growScreen(const Layout &layout)
    {
        const int width = std::max(layout.screenWidth, layout.width);
        const int height = std::max(layout.screenHeight, layout.height);
        if (width == layout.screenWidth && height == layout.screenHeight)
            return true;
        return resizeScreen(width, height);
    }

    // The CRTC keeps its position, rotation and outputs; only the mode changes.
    Result setCrtc(const ScreenView &s, xcb_randr_mode_t mode, const Layout &layout)
    {
        const xcb_randr_output_t *outputs = xcb_randr_get_crtc_info_outputs(s.crtc.get());
        const int outputCount = xcb_randr_get_crtc_info_outputs_length(s.crtc.get());
        Reply<xcb_randr_set_crtc_config_reply_t> reply(xcb_randr_set_crtc_config_reply(
            connection,
            xcb_randr_set_crtc_config(connection, s.outputInfo->crtc, s.timestamp(), s.configTimestamp(), layout.x,
                                      layout.y, mode, layout.rotation, uint32_t(outputCount), outputs),
            nullptr));
        ++roundTrips;
        if (!reply)
            return Result::Failed;
        if (reply->status == XCB_RANDR_SET_CONFIG_INVALID_CONFIG_TIME
            || reply->status == XCB_RANDR_SET_CONFIG_INVALID_TIME)
            return Result::Stale;
        return reply->status == XCB_RANDR_SET_CONFIG_SUCCESS ? Result::Done : Result::Failed;
    }

    // Afterwards, down to what the CRTCs now cover (or back, when the change failed).
    void shrinkScreen(const Layout &layout, Result result)
    {
        const int grownWidth = std::max(layout.screenWidth, layout.width);
        const int grownHeight = std::max(layout.screenHeight, layout.height);
        const int width = result == Result::Done ? layout.width : layout.screenWidth;
        const int height = result == Result::Done ? layout.height : layout.screenHeight;
        if (width != grownWidth || height != grownHeight)
            resizeScreen(width, height);
    }

    Result setMode(const DisplayMode &want, ApplyResult &why)
    {
        why = ApplyResult::Failed;
        ScreenView s;
        // The request needs the screen's timestamps and its CRTCs: a full read.
        if (!readScreen(s))
            return Result::Failed;
        // Never switches an output on or off: an output without a CRTC stays so.
        switch (s.state()) {
        case OutputState::Absent:
            why = ApplyResult::Absent;
            return Result::Failed;
        case OutputState::Off:
            why = ApplyResult::Off;
            return Result::Failed;
        default:
            break;
        }
        const xcb_randr_mode_t mode = modeFor(s, want);
        const xcb_randr_mode_info_t *info = mode != XCB_NONE ? s.modeInfo(mode) : nullptr;
        if (!info) {
            why = ApplyResult::NotOffered;
            return Result::Failed;
        }
        Layout layout;
        if (!computeScreenSize(s, *info, layout))
            return Result::Failed;

        xcb_grab_server(connection);
        Result result = growScreen(layout) ? setCrtc(s, mode, layout) : Result::Failed;
        shrinkScreen(layout, result);
        xcb_ungrab_server(connection);
        xcb_flush(connection);
        why = result == Result::Done ? ApplyResult::Applied : ApplyResult::Refused;
        return result;
    }
};

// Listens for RandR's notifications (screen size, CRTC, output: switches, plugging, mode
// lists) on a connection of its own, in a thread that sleeps in poll() between them: no cost
// while nothing changes. A lost server is tried again once a second.
struct X11DisplayBackend::Watcher
{
    std::string displayName;
    std::function<void()> callback;
    int wake[2] = {-1, -1};
    std::thread thread;

    Watcher(std::string name, std::function<void()> cb)
        : displayName(std::move(name)), callback(std::move(cb))
    {
        if (pipe(wake) != 0) {
            wake[0] = wake[1] = -1;
            return;
        }
        thread = std::thread([this] { run(); });
    }

    ~Watcher()
    {
        if (thread.joinable()) {
            const char byte = 0;
            while (write(wake[1], &byte, 1) < 0 && errno == EINTR) {
            }
            thread.join();
        }
        for (int fd : wake) {
            if (fd >= 0)
                close(fd);
        }
    }

    // False when asked to stop.
    bool sleep(int fd, int timeoutMs, bool &readable)
    {
        pollfd fds[2] = {{wake[0], POLLIN, 0}, {fd, POLLIN, 0}};
        const int n = poll(fds, fd >= 0 ? 2 : 1, timeoutMs);
        if (n > 0 && (fds[0].revents & POLLIN))
            return false;
        readable = n > 0 && fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR));
        return true;
    }

    void run()
    {
        for (;;) {
            int screenNumber = 0;
            xcb_connection_t *c = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
            if (!xcb_connection_has_error(c) && listen(c, screenNumber)) {
                // Anything the server said while we were away may have been missed.
                callback();
                for (;;) {
                    bool readable = false;
                    if (!sleep(xcb_get_file_descriptor(c), -1, readable)) {
                        xcb_disconnect(c);
                        return;
                    }
                    bool changed = false;
                    while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
                        changed = changed || (event->response_type & 0x7f) != 0;
                        std::free(event);
                    }
                    if (xcb_connection_has_error(c))
                        break;
                    if (changed)
                        callback();
                }
            }
            xcb_disconnect(c);
            bool readable = false;
            if (!sleep(-1, 1000, readable))
                return;
        }
    }

    static bool listen(xcb_connection_t *c, int screenNumber)
    {
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
        for (int i = 0; i < screenNumber && screens.rem; ++i)
            xcb_screen_next(&screens);
        if (!screens.rem)
            return false;
        Reply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 3), nullptr));
        if (!version)
            return false;
        xcb_randr_select_input(c, screens.data->root,
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE
                                   | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
        xcb_flush(c);
        return true;
    }
};

X11DisplayBackend::X11DisplayBackend(const std::string &displayName)
    : d(std::make_unique<Private>())
{
    d->displayName = displayName;
}

X11DisplayBackend::~X11DisplayBackend() = default;

void X11DisplayBackend::setChangeCallback(std::function<void()> callback)
{
    // The old watcher is gone (its thread joined) before a new one starts.
    watcher.reset();
    if (callback)
        watcher = std::make_unique<Watcher>(d->displayName, std::move(callback));
}

std::string X11DisplayBackend::pinOutput()
{
    std::lock_guard<std::mutex> lock(mutex);
    return d->pinPrimary();
}

void X11DisplayBackend::pinOutputNamed(const std::string &name)
{
    std::lock_guard<std::mutex> lock(mutex);
    d->pinned = name;
    d->lastSeen = LastSeen();
}

bool X11DisplayBackend::mode(int n, DisplayMode &out)
{
    std::lock_guard<std::mutex> lock(mutex);
    OutputView s;
    if (!d->readOutput(s) || n < 0 || n >= s.modeCount())
        return false;
    return d->toMode(s, s.modeId(n), out);
}

DisplayBackend::OutputState X11DisplayBackend::current(DisplayMode &out)
{
    std::lock_guard<std::mutex> lock(mutex);
    OutputView s;
    const OutputState state = d->read(s);
    if (state != OutputState::Active)
        return state;
    return d->toMode(s, s.crtc->mode, out) ? OutputState::Active : OutputState::Unreadable;
}

DisplayBackend::OutputState X11DisplayBackend::availability(const DisplayMode &mode)
{
    std::lock_guard<std::mutex> lock(mutex);
    OutputView s;
    const OutputState state = d->read(s);
    if (state != OutputState::Active)
        return state;
    return d->modeFor(s, mode) != XCB_NONE ? OutputState::Active : OutputState::NotOffered;
}

DisplayBackend::ApplyResult X11DisplayBackend::apply(const DisplayMode &mode)
{
    std::lock_guard<std::mutex> lock(mutex);
    ApplyResult why = ApplyResult::Failed;
    // The configuration changed between our read and our request: read again, once.
    if (d->setMode(mode, why) == Private::Result::Stale)
        d->setMode(mode, why);
    return why;
}

std::string X11DisplayBackend::outputName()
{
    std::lock_guard<std::mutex> lock(mutex);
    return d->pinned;
}

int X11DisplayBackend::takeRoundTrips()
{
    std::lock_guard<std::mutex> lock(mutex);
    const int n = d->roundTrips;
    d->roundTrips = 0;
    return n;
}
