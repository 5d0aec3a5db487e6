#include "X11DisplayBackend.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

template<typename T>
struct FreeDeleter
{
    void operator()(T *p) const { std::free(p); }
};
template<typename T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;

// What one read of the server tells about the output whose modes are listed.
struct Snapshot
{
    Reply<xcb_randr_get_screen_resources_current_reply_t> resources;
    xcb_randr_output_t output = XCB_NONE;
    std::shared_ptr<xcb_randr_get_output_info_reply_t> outputInfo;
    // The CRTC's mode, when it came with the first round trip.
    bool haveCrtcMode = false;
    xcb_randr_mode_t crtcMode = XCB_NONE;

    xcb_timestamp_t timestamp() const { return resources->timestamp; }
    xcb_timestamp_t configTimestamp() const { return resources->config_timestamp; }

    int modeCount() const { return xcb_randr_get_output_info_modes_length(outputInfo.get()); }
    xcb_randr_mode_t modeId(int n) const { return xcb_randr_get_output_info_modes(outputInfo.get())[n]; }

    const xcb_randr_mode_info_t *modeInfo(xcb_randr_mode_t id) const
    {
        const xcb_randr_mode_info_t *infos = xcb_randr_get_screen_resources_current_modes(resources.get());
        const int count = xcb_randr_get_screen_resources_current_modes_length(resources.get());
        for (int i = 0; i < count; ++i) {
            if (infos[i].id == id)
                return &infos[i];
        }
        return nullptr;
    }
};

// Whole Hz, as Windows reports refresh rates: dot clock over the frame's pixels, the frame
// being twice as tall for double scan and half as tall interlaced.
int refreshRate(const xcb_randr_mode_info_t &info)
{
    double vtotal = info.vtotal;
    if (info.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN)
        vtotal *= 2;
    if (info.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE)
        vtotal /= 2;
    if (info.htotal == 0 || vtotal <= 0)
        return 0;
    return int(std::lround(double(info.dot_clock) / (double(info.htotal) * vtotal)));
}

} // namespace

struct X11DisplayBackend::Private
{
    std::string displayName;
    xcb_connection_t *connection = nullptr;
    xcb_window_t root = XCB_NONE;
    int bitsPerPixel = 0;
    int roundTrips = 0;

    ~Private() { disconnect(); }

    void disconnect()
    {
        known = Known();
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

    // Reads resources and the output to list. Never probes the hardware
    // (GetScreenResources would): this runs on every poll.
    // What the last full read found out: which output is listed, its mode list and CRTC.
    // It holds while the primary output and both configuration timestamps stay the same;
    // the CRTC's mode itself is always read afresh.
    struct Known
    {
        xcb_randr_output_t primary = XCB_NONE;
        xcb_timestamp_t timestamp = 0;
        xcb_timestamp_t configTimestamp = 0;
        xcb_randr_output_t output = XCB_NONE;
        std::shared_ptr<xcb_randr_get_output_info_reply_t> outputInfo;
    } known;

    static std::shared_ptr<xcb_randr_get_output_info_reply_t> shared(xcb_randr_get_output_info_reply_t *reply)
    {
        return std::shared_ptr<xcb_randr_get_output_info_reply_t>(reply, FreeDeleter<xcb_randr_get_output_info_reply_t>());
    }

    // Reads resources and the output to list. Never probes the hardware
    // (GetScreenResources would): this runs on every poll. In the steady state it is one
    // round trip, the CRTC's mode included.
    bool snapshot(Snapshot &s)
    {
        if (!connect())
            return false;
        // All requests go out before any reply is awaited.
        auto primaryCookie = xcb_randr_get_output_primary(connection, root);
        auto resourcesCookie = xcb_randr_get_screen_resources_current(connection, root);
        const xcb_randr_crtc_t knownCrtc = known.outputInfo ? known.outputInfo->crtc : xcb_randr_crtc_t(XCB_NONE);
        xcb_randr_get_crtc_info_cookie_t crtcCookie {};
        if (knownCrtc != XCB_NONE)
            crtcCookie = xcb_randr_get_crtc_info(connection, knownCrtc, known.configTimestamp);
        Reply<xcb_randr_get_output_primary_reply_t> primary(
            xcb_randr_get_output_primary_reply(connection, primaryCookie, nullptr));
        s.resources.reset(xcb_randr_get_screen_resources_current_reply(connection, resourcesCookie, nullptr));
        Reply<xcb_randr_get_crtc_info_reply_t> crtc;
        if (knownCrtc != XCB_NONE)
            crtc.reset(xcb_randr_get_crtc_info_reply(connection, crtcCookie, nullptr));
        ++roundTrips;
        if (!primary || !s.resources) {
            known = Known();
            return false;
        }

        if (known.outputInfo && primary->output == known.primary && s.timestamp() == known.timestamp
            && s.configTimestamp() == known.configTimestamp) {
            s.output = known.output;
            s.outputInfo = known.outputInfo;
            if (crtc && crtc->status == XCB_RANDR_SET_CONFIG_SUCCESS) {
                s.haveCrtcMode = true;
                s.crtcMode = crtc->mode;
            }
            return true;
        }

        known = Known();
        if (!findOutput(s, primary->output))
            return false;
        known.primary = primary->output;
        known.timestamp = s.timestamp();
        known.configTimestamp = s.configTimestamp();
        known.output = s.output;
        known.outputInfo = s.outputInfo;
        return true;
    }

    bool findOutput(Snapshot &s, xcb_randr_output_t primary)
    {
        if (primary != XCB_NONE) {
            s.output = primary;
            s.outputInfo = shared(xcb_randr_get_output_info_reply(
                connection, xcb_randr_get_output_info(connection, s.output, s.configTimestamp()), nullptr));
            ++roundTrips;
            return bool(s.outputInfo);
        }
        // No primary: the first connected output that drives a CRTC.
        const xcb_randr_output_t *outputs = xcb_randr_get_screen_resources_current_outputs(s.resources.get());
        const int count = xcb_randr_get_screen_resources_current_outputs_length(s.resources.get());
        std::vector<xcb_randr_get_output_info_cookie_t> cookies;
        for (int i = 0; i < count; ++i)
            cookies.push_back(xcb_randr_get_output_info(connection, outputs[i], s.configTimestamp()));
        ++roundTrips;
        for (int i = 0; i < count; ++i) {
            auto info = shared(xcb_randr_get_output_info_reply(connection, cookies[i], nullptr));
            if (!s.outputInfo && info && info->connection == XCB_RANDR_CONNECTION_CONNECTED
                && info->crtc != XCB_NONE) {
                s.output = outputs[i];
                s.outputInfo = info;
            }
        }
        return bool(s.outputInfo);
    }

    Reply<xcb_randr_get_crtc_info_reply_t> crtcInfo(xcb_randr_crtc_t crtc, xcb_timestamp_t configTimestamp)
    {
        ++roundTrips;
        return Reply<xcb_randr_get_crtc_info_reply_t>(xcb_randr_get_crtc_info_reply(
            connection, xcb_randr_get_crtc_info(connection, crtc, configTimestamp), nullptr));
    }

    bool toMode(const Snapshot &s, xcb_randr_mode_t id, DisplayMode &out) const
    {
        const xcb_randr_mode_info_t *info = s.modeInfo(id);
        if (!info)
            return false;
        out = {info->width, info->height, bitsPerPixel, refreshRate(*info)};
        return true;
    }

    xcb_randr_mode_t currentModeId(const Snapshot &s)
    {
        if (s.haveCrtcMode)
            return s.crtcMode;
        if (s.outputInfo->crtc == XCB_NONE)
            return XCB_NONE;
        auto crtc = crtcInfo(s.outputInfo->crtc, s.configTimestamp());
        return crtc ? crtc->mode : XCB_NONE;
    }

    bool read(int n, DisplayMode &out)
    {
        Snapshot s;
        if (!snapshot(s))
            return false;
        if (n == CurrentSettings) {
            const xcb_randr_mode_t id = currentModeId(s);
            return id != XCB_NONE && toMode(s, id, out);
        }
        if (n < 0 || n >= s.modeCount())
            return false;
        return toMode(s, s.modeId(n), out);
    }

    bool checked(xcb_void_cookie_t cookie)
    {
        ++roundTrips;
        std::unique_ptr<xcb_generic_error_t, FreeDeleter<xcb_generic_error_t>> error(
            xcb_request_check(connection, cookie));
        return !error;
    }

    // Physical size for a screen of `pixels`, keeping the present density (96 dpi when the
    // server reports none); at least 1 mm, which the server insists on.
    static uint32_t millimetres(int pixels, int currentPixels, int currentMm)
    {
        const double mmPerPixel = (currentPixels > 0 && currentMm > 0) ? double(currentMm) / currentPixels
                                                                     : 25.4 / 96.0;
        return uint32_t(std::max(1L, std::lround(pixels * mmPerPixel)));
    }

    enum class Result { Done, Failed, Stale };

    Result setMode(int n)
    {
        Snapshot s;
        if (!snapshot(s))
            return Result::Failed;

        xcb_randr_mode_t modeId = XCB_NONE;
        if (n == CurrentSettings)
            modeId = currentModeId(s);
        else if (n >= 0 && n < s.modeCount())
            modeId = s.modeId(n);
        const xcb_randr_mode_info_t *info = modeId != XCB_NONE ? s.modeInfo(modeId) : nullptr;
        if (!info)
            return Result::Failed;

        // The output's CRTC, or a free one it can use.
        xcb_randr_crtc_t crtc = s.outputInfo->crtc;
        Reply<xcb_randr_get_crtc_info_reply_t> crtcReply;
        if (crtc != XCB_NONE) {
            crtcReply = crtcInfo(crtc, s.configTimestamp());
        } else {
            const xcb_randr_crtc_t *candidates = xcb_randr_get_output_info_crtcs(s.outputInfo.get());
            const int count = xcb_randr_get_output_info_crtcs_length(s.outputInfo.get());
            for (int i = 0; i < count && crtc == XCB_NONE; ++i) {
                auto c = crtcInfo(candidates[i], s.configTimestamp());
                if (c && c->mode == XCB_NONE && xcb_randr_get_crtc_info_outputs_length(c.get()) == 0) {
                    crtc = candidates[i];
                    crtcReply = std::move(c);
                }
            }
        }
        if (crtc == XCB_NONE || !crtcReply)
            return Result::Failed;

        const bool wasIdle = crtcReply->mode == XCB_NONE;
        const int16_t x = wasIdle ? 0 : crtcReply->x;
        const int16_t y = wasIdle ? 0 : crtcReply->y;
        const uint16_t rotation = wasIdle ? uint16_t(XCB_RANDR_ROTATION_ROTATE_0) : crtcReply->rotation;
        const bool sideways = rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270);
        const int width = sideways ? info->height : info->width;
        const int height = sideways ? info->width : info->height;

        // The screen must hold every active CRTC once this one has its new size.
        int needWidth = x + width;
        int needHeight = y + height;
        const xcb_randr_crtc_t *crtcs = xcb_randr_get_screen_resources_current_crtcs(s.resources.get());
        const int crtcCount = xcb_randr_get_screen_resources_current_crtcs_length(s.resources.get());
        for (int i = 0; i < crtcCount; ++i) {
            if (crtcs[i] == crtc)
                continue;
            auto other = crtcInfo(crtcs[i], s.configTimestamp());
            if (other && other->mode != XCB_NONE) {
                needWidth = std::max(needWidth, other->x + other->width);
                needHeight = std::max(needHeight, other->y + other->height);
            }
        }

        Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(connection, xcb_get_geometry(connection, root), nullptr));
        ++roundTrips;
        if (!geometry)
            return Result::Failed;
        const int screenWidth = geometry->width;
        const int screenHeight = geometry->height;
        // The density the screen had when we connected (the setup block is not updated
        // later, but its pixels and millimetres belong together).
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

        auto resize = [&](int w, int h) {
            return checked(xcb_randr_set_screen_size_checked(
                connection, root, uint16_t(w), uint16_t(h), millimetres(w, setupWidth, setupMmWidth),
                millimetres(h, setupHeight, setupMmHeight)));
        };

        xcb_grab_server(connection);
        Result result = Result::Done;
        // Grow first: a CRTC may not reach beyond the screen.
        const int grownWidth = std::max(screenWidth, needWidth);
        const int grownHeight = std::max(screenHeight, needHeight);
        if ((grownWidth != screenWidth || grownHeight != screenHeight) && !resize(grownWidth, grownHeight))
            result = Result::Failed;

        if (result == Result::Done) {
            xcb_randr_output_t outputsBuf[1] = {s.output};
            const xcb_randr_output_t *outputs = outputsBuf;
            int outputCount = 1;
            if (!wasIdle) {
                outputs = xcb_randr_get_crtc_info_outputs(crtcReply.get());
                outputCount = xcb_randr_get_crtc_info_outputs_length(crtcReply.get());
            }
            Reply<xcb_randr_set_crtc_config_reply_t> reply(xcb_randr_set_crtc_config_reply(
                connection,
                xcb_randr_set_crtc_config(connection, crtc, s.timestamp(), s.configTimestamp(), x, y, modeId,
                                          rotation, uint32_t(outputCount), outputs),
                nullptr));
            ++roundTrips;
            if (!reply)
                result = Result::Failed;
            else if (reply->status == XCB_RANDR_SET_CONFIG_INVALID_CONFIG_TIME)
                result = Result::Stale;
            else if (reply->status != XCB_RANDR_SET_CONFIG_SUCCESS)
                result = Result::Failed;
        }

        // Shrink afterwards to what the CRTCs now cover (or back, when the change failed).
        const int finalWidth = result == Result::Done ? needWidth : screenWidth;
        const int finalHeight = result == Result::Done ? needHeight : screenHeight;
        if (finalWidth != grownWidth || finalHeight != grownHeight)
            resize(finalWidth, finalHeight);
        xcb_ungrab_server(connection);
        xcb_flush(connection);
        return result;
    }
};

X11DisplayBackend::X11DisplayBackend(const std::string &displayName)
    : d(std::make_unique<Private>())
{
    d->displayName = displayName;
}

X11DisplayBackend::~X11DisplayBackend() = default;

bool X11DisplayBackend::mode(int n, DisplayMode &out)
{
    std::lock_guard<std::mutex> lock(mutex);
    return d->read(n, out);
}

bool X11DisplayBackend::apply(int n)
{
    std::lock_guard<std::mutex> lock(mutex);
    Private::Result result = d->setMode(n);
    // The configuration changed between our read and our request: read again, once.
    if (result == Private::Result::Stale)
        result = d->setMode(n);
    return result == Private::Result::Done;
}

std::string X11DisplayBackend::outputName()
{
    std::lock_guard<std::mutex> lock(mutex);
    Snapshot s;
    if (!d->snapshot(s))
        return std::string();
    const char *name = reinterpret_cast<const char *>(xcb_randr_get_output_info_name(s.outputInfo.get()));
    return std::string(name, size_t(xcb_randr_get_output_info_name_length(s.outputInfo.get())));
}

int X11DisplayBackend::takeRoundTrips()
{
    std::lock_guard<std::mutex> lock(mutex);
    const int n = d->roundTrips;
    d->roundTrips = 0;
    return n;
}
