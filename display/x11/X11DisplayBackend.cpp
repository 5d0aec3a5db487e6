#include "X11DisplayBackend.h"

#include "MonitorIdentity.h"
#include "RefreshRate.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
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
using CrtcInfo = std::shared_ptr<xcb_randr_get_crtc_info_reply_t>;
using Crtcs = std::unordered_map<xcb_randr_crtc_t, CrtcInfo>;
using Resources = Reply<xcb_randr_get_screen_resources_current_reply_t>;
// Every mode of the screen by id, from the last resources read. A mode never changes while it
// exists, and the server does not hand out a destroyed mode's id again.
using ModeTable = std::unordered_map<xcb_randr_mode_t, xcb_randr_mode_info_t>;

template<typename T>
std::shared_ptr<T> shared(T *reply)
{
    return std::shared_ptr<T>(reply, FreeDeleter<T>());
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

// One output as one read of the server shows it.
struct OutputRead
{
    xcb_randr_output_t id = XCB_NONE;
    OutputInfo info;
    CrtcInfo crtc;         // the CRTC driving it, if any
    DisplayOutput monitor; // its name and the monitor's identity

    bool connected() const { return info->connection == XCB_RANDR_CONNECTION_CONNECTED; }
    int modeCount() const { return xcb_randr_get_output_info_modes_length(info.get()); }
    xcb_randr_mode_t modeId(int n) const { return xcb_randr_get_output_info_modes(info.get())[n]; }
};

// One read of the server: every output of the screen, in its order.
struct ScreenRead
{
    std::vector<OutputRead> outputs;
    xcb_randr_output_t primary = XCB_NONE;
    // Only a full read has these, which a change needs.
    Resources resources;
    Crtcs crtcs; // every CRTC of the screen
    int screenWidth = 0, screenHeight = 0;

    const OutputRead *find(const std::string &name) const
    {
        for (const OutputRead &o : outputs) {
            if (o.connected() && o.monitor.name == name)
                return &o;
        }
        return nullptr;
    }
};

// An output as the last read saw it: what the next quick read asks for and compares with.
struct Seen
{
    xcb_randr_output_t id = XCB_NONE;
    bool connected = false;
    xcb_randr_crtc_t crtc = XCB_NONE;
    // What changes with the monitor when another is plugged in between two reads.
    uint32_t mmWidth = 0, mmHeight = 0;
    std::vector<xcb_randr_mode_t> modeIds;
    DisplayOutput monitor;

    bool sameMonitor(const xcb_randr_get_output_info_reply_t *info) const
    {
        const xcb_randr_mode_t *ids = xcb_randr_get_output_info_modes(info);
        return info->mm_width == mmWidth && info->mm_height == mmHeight
            && std::equal(modeIds.begin(), modeIds.end(), ids, ids + xcb_randr_get_output_info_modes_length(info));
    }
};

// One CRTC as an apply sets it; its outputs stay. `now` is what it was, to put back.
struct CrtcChange
{
    xcb_randr_crtc_t crtc = XCB_NONE;
    CrtcInfo now;
    xcb_randr_mode_t mode = XCB_NONE;
    int x = 0, y = 0;
    uint16_t rotation = XCB_RANDR_ROTATION_ROTATE_0;
};

constexpr uint16_t ReflectX = XCB_RANDR_ROTATION_REFLECT_X;
constexpr uint16_t ReflectY = XCB_RANDR_ROTATION_REFLECT_Y;

// ROTATE_0, _90, _180 and _270 are one bit each, in that order.
uint16_t turnBit(int quarterTurns)
{
    return uint16_t(XCB_RANDR_ROTATION_ROTATE_0 << (quarterTurns & 3));
}

// RandR's rotation bits as a Transform. RandR turns counter-clockwise as Wayland does; a flip
// around the horizontal axis (REFLECT_Y) is a half turn and a flip around the vertical one.
int transformOf(uint16_t rotation)
{
    int turn = 0;
    for (int t = 1; t < 4; ++t) {
        if (rotation & turnBit(t))
            turn = t;
    }
    const bool flipX = rotation & ReflectX, flipY = rotation & ReflectY;
    if (flipY)
        turn = (turn + 2) % 4;
    return (flipX != flipY ? Flipped : Normal) + turn;
}

// The rotation bits for `transform` that a CRTC able to do `supported` takes: the turn itself
// (with REFLECT_X when flipped), else its equivalent the other way round (the opposite turn
// with REFLECT_Y, or with both flips). 0 when it can do neither.
uint16_t rotationFor(int transform, uint16_t supported)
{
    const int turn = transform & 3;
    const bool flipped = transform & Flipped;
    const uint16_t ways[] = {uint16_t(turnBit(turn) | (flipped ? ReflectX : 0)),
                             uint16_t(turnBit(turn + 2) | (flipped ? ReflectY : ReflectX | ReflectY))};
    for (uint16_t way : ways) {
        if ((way & supported) == way)
            return way;
    }
    return 0;
}

} // namespace

struct X11DisplayBackend::Private
{
    std::string displayName;
    xcb_connection_t *connection = nullptr;
    xcb_window_t root = XCB_NONE;
    xcb_atom_t edidAtom = XCB_NONE;
    int bitsPerPixel = 0;
    int roundTrips = 0;
    // Every output of the screen where the last read saw it, in the server's order.
    std::vector<Seen> seen;
    // The screen's CRTCs, from the last resources read.
    std::vector<xcb_randr_crtc_t> crtcIds;
    ModeTable modes;
    // Set by the watcher when an output's EDID changed: another monitor may be on it with the
    // same sizes and modes, which the quick read cannot tell.
    std::atomic<bool> edidChanged{false};

    ~Private() { disconnect(); }

    void disconnect()
    {
        seen.clear();
        crtcIds.clear();
        modes.clear();
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
        // GetScreenResourcesCurrent and GetOutputPrimary need RandR 1.3. The atom is made when
        // missing: an EDID set later is found under it.
        static const char edid[] = "EDID";
        auto atomCookie = xcb_intern_atom(connection, 0, sizeof edid - 1, edid);
        Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
            connection, xcb_randr_query_version(connection, 1, 3), nullptr));
        Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(connection, atomCookie, nullptr));
        ++roundTrips;
        if (!version || (version->major_version == 1 && version->minor_version < 3) || !atom) {
            disconnect();
            return false;
        }
        edidAtom = atom->atom;
        return true;
    }

    void readModeTable(const Resources &resources)
    {
        modes.clear();
        const xcb_randr_mode_info_t *infos = xcb_randr_get_screen_resources_current_modes(resources.get());
        const int count = xcb_randr_get_screen_resources_current_modes_length(resources.get());
        for (int i = 0; i < count; ++i)
            modes.emplace(infos[i].id, infos[i]);
    }

    const xcb_randr_mode_info_t *modeInfo(xcb_randr_mode_t id) const
    {
        const auto it = modes.find(id);
        return it != modes.end() ? &it->second : nullptr;
    }

    bool toMode(xcb_randr_mode_t id, DisplayMode &out) const
    {
        const xcb_randr_mode_info_t *info = modeInfo(id);
        if (!info)
            return false;
        out = {info->width, info->height, bitsPerPixel, refreshRate(*info)};
        return true;
    }

    // The output's modes in its order; false when one is not in the table.
    bool modesOf(const OutputRead &o, std::vector<DisplayMode> &out) const
    {
        out.clear();
        DisplayMode m;
        for (int i = 0; i < o.modeCount(); ++i) {
            if (!toMode(o.modeId(i), m))
                return false;
            out.push_back(m);
        }
        return true;
    }

    // Whether every mode the output lists, and its CRTC's, is in the table.
    bool modesKnown(const OutputRead &o) const
    {
        for (int i = 0; i < o.modeCount(); ++i) {
            if (!modeInfo(o.modeId(i)))
                return false;
        }
        return !o.crtc || o.crtc->mode == XCB_NONE || modeInfo(o.crtc->mode);
    }

    DisplayOutput toOutput(const ScreenRead &r, const OutputRead &o) const
    {
        DisplayOutput out = o.monitor;
        out.primary = o.id == r.primary;
        if (o.crtc && o.crtc->mode != XCB_NONE) {
            out.x = o.crtc->x;
            out.y = o.crtc->y;
            out.transform = transformOf(o.crtc->rotation);
        }
        if (o.info->crtc == XCB_NONE || (o.crtc && o.crtc->mode == XCB_NONE))
            out.state = DisplayOutput::State::Off;
        else if (o.crtc && toMode(o.crtc->mode, out.current))
            out.state = DisplayOutput::State::Active;
        else
            out.state = DisplayOutput::State::Unreadable;
        return out;
    }

    std::vector<DisplayOutput> toOutputs(const ScreenRead &r) const
    {
        std::vector<DisplayOutput> outputs;
        for (const OutputRead &o : r.outputs) {
            if (o.connected())
                outputs.push_back(toOutput(r, o));
        }
        return outputs;
    }

    // --- Reading ------------------------------------------------------------------------------

    std::vector<xcb_randr_get_crtc_info_cookie_t> askCrtcs(const std::vector<xcb_randr_crtc_t> &crtcs)
    {
        std::vector<xcb_randr_get_crtc_info_cookie_t> cookies;
        for (xcb_randr_crtc_t crtc : crtcs)
            cookies.push_back(xcb_randr_get_crtc_info(connection, crtc, XCB_CURRENT_TIME));
        return cookies;
    }

    void receiveCrtcs(const std::vector<xcb_randr_crtc_t> &crtcs,
                      const std::vector<xcb_randr_get_crtc_info_cookie_t> &cookies, Crtcs &into)
    {
        for (size_t i = 0; i < crtcs.size(); ++i) {
            if (CrtcInfo info = shared(xcb_randr_get_crtc_info_reply(connection, cookies[i], nullptr)))
                into[crtcs[i]] = info;
        }
    }

    void remember(const ScreenRead &r)
    {
        seen.clear();
        for (const OutputRead &o : r.outputs) {
            const xcb_randr_mode_t *ids = xcb_randr_get_output_info_modes(o.info.get());
            seen.push_back({o.id, o.connected(), o.info->crtc, o.info->mm_width, o.info->mm_height,
                            {ids, ids + o.modeCount()}, o.monitor});
        }
    }

    // The steady-state poll: every output and the CRTCs last seen driving the connected ones,
    // with the primary, in one round trip of small replies. False when that no longer does: an
    // output is gone, plugged or unplugged, or its size or mode list changed (its monitor may be
    // another now, whose EDID the full read gets), or it lists a mode not in the table. A
    // connected output on another CRTC costs one more round trip.
    bool quickRead(ScreenRead &r)
    {
        std::vector<xcb_randr_get_output_info_cookie_t> infoCookies;
        std::vector<xcb_randr_crtc_t> asked;
        for (const Seen &s : seen) {
            infoCookies.push_back(xcb_randr_get_output_info(connection, s.id, XCB_CURRENT_TIME));
            if (s.connected && s.crtc != XCB_NONE && std::find(asked.begin(), asked.end(), s.crtc) == asked.end())
                asked.push_back(s.crtc);
        }
        const auto crtcCookies = askCrtcs(asked);
        auto primaryCookie = xcb_randr_get_output_primary(connection, root);
        std::vector<OutputInfo> infos;
        for (const auto &cookie : infoCookies)
            infos.push_back(shared(xcb_randr_get_output_info_reply(connection, cookie, nullptr)));
        Crtcs crtcs;
        receiveCrtcs(asked, crtcCookies, crtcs);
        Reply<xcb_randr_get_output_primary_reply_t> primary(
            xcb_randr_get_output_primary_reply(connection, primaryCookie, nullptr));
        ++roundTrips;
        if (!primary)
            return false;
        r.primary = primary->output;

        std::vector<xcb_randr_crtc_t> moved;
        for (size_t i = 0; i < seen.size(); ++i) {
            const OutputInfo &info = infos[i];
            if (!info || nameOf(info.get()) != seen[i].monitor.name
                || (info->connection == XCB_RANDR_CONNECTION_CONNECTED) != seen[i].connected
                || (seen[i].connected && !seen[i].sameMonitor(info.get())))
                return false;
            if (seen[i].connected && info->crtc != XCB_NONE && !crtcs.count(info->crtc)
                && std::find(moved.begin(), moved.end(), info->crtc) == moved.end())
                moved.push_back(info->crtc);
        }
        if (!moved.empty()) {
            receiveCrtcs(moved, askCrtcs(moved), crtcs);
            ++roundTrips;
        }
        for (size_t i = 0; i < seen.size(); ++i) {
            OutputRead o{seen[i].id, infos[i], nullptr, seen[i].monitor};
            if (o.connected() && o.info->crtc != XCB_NONE) {
                const auto it = crtcs.find(o.info->crtc);
                if (it == crtcs.end())
                    return false;
                o.crtc = it->second;
            }
            if (o.connected() && !modesKnown(o))
                return false;
            r.outputs.push_back(std::move(o));
        }
        remember(r);
        return true;
    }

    // Every output with its EDID and every CRTC, asked for at once.
    struct Asked
    {
        std::vector<xcb_randr_output_t> outputs;
        std::vector<xcb_randr_crtc_t> crtcs;
        std::vector<xcb_randr_get_output_info_cookie_t> infoCookies;
        std::vector<xcb_randr_get_output_property_cookie_t> edidCookies;
        std::vector<xcb_randr_get_crtc_info_cookie_t> crtcCookies;
    };

    Asked askEverything(std::vector<xcb_randr_output_t> outputs, std::vector<xcb_randr_crtc_t> crtcs)
    {
        Asked a{std::move(outputs), std::move(crtcs), {}, {}, {}};
        for (xcb_randr_output_t id : a.outputs) {
            a.infoCookies.push_back(xcb_randr_get_output_info(connection, id, XCB_CURRENT_TIME));
            // The base block is all the identity needs.
            a.edidCookies.push_back(xcb_randr_get_output_property(connection, id, edidAtom, XCB_GET_PROPERTY_TYPE_ANY,
                                                                  0, 128 / 4, 0, 0));
        }
        a.crtcCookies = askCrtcs(a.crtcs);
        return a;
    }

    void receiveEverything(const Asked &a, ScreenRead &r)
    {
        r.outputs.clear();
        r.crtcs.clear();
        for (size_t i = 0; i < a.outputs.size(); ++i) {
            OutputRead o;
            o.id = a.outputs[i];
            o.info = shared(xcb_randr_get_output_info_reply(connection, a.infoCookies[i], nullptr));
            Reply<xcb_randr_get_output_property_reply_t> edid(
                xcb_randr_get_output_property_reply(connection, a.edidCookies[i], nullptr));
            if (!o.info)
                continue; // gone meanwhile
            o.monitor.name = nameOf(o.info.get());
            if (edid && edid->format == 8 && o.connected()) {
                MonitorIdentity::fromEdid(xcb_randr_get_output_property_data(edid.get()),
                                          size_t(xcb_randr_get_output_property_data_length(edid.get())), o.monitor);
            }
            r.outputs.push_back(std::move(o));
        }
        receiveCrtcs(a.crtcs, a.crtcCookies, r.crtcs);
        for (OutputRead &o : r.outputs) {
            const auto it = r.crtcs.find(o.info->crtc);
            if (o.connected() && it != r.crtcs.end())
                o.crtc = it->second;
        }
    }

    // The screen's resources (GetScreenResourcesCurrent: it never probes the hardware, as
    // GetScreenResources would) with the primary, and every output with its EDID and every
    // CRTC. Those are asked for along with the resources as the last read knew them, so that
    // a full read is one round trip unless outputs or CRTCs came or went (then two).
    // `geometry`: the screen's size too.
    bool fullRead(ScreenRead &r, bool geometry)
    {
        auto resourcesCookie = xcb_randr_get_screen_resources_current(connection, root);
        auto primaryCookie = xcb_randr_get_output_primary(connection, root);
        xcb_get_geometry_cookie_t geometryCookie{};
        if (geometry)
            geometryCookie = xcb_get_geometry(connection, root);
        std::vector<xcb_randr_output_t> knownOutputs;
        for (const Seen &s : seen)
            knownOutputs.push_back(s.id);
        const Asked guess = askEverything(std::move(knownOutputs), crtcIds);
        r.resources.reset(xcb_randr_get_screen_resources_current_reply(connection, resourcesCookie, nullptr));
        Reply<xcb_randr_get_output_primary_reply_t> primary(
            xcb_randr_get_output_primary_reply(connection, primaryCookie, nullptr));
        Reply<xcb_get_geometry_reply_t> size(geometry ? xcb_get_geometry_reply(connection, geometryCookie, nullptr)
                                                      : nullptr);
        receiveEverything(guess, r);
        ++roundTrips;
        seen.clear();
        crtcIds.clear();
        if (!r.resources || !primary || (geometry && !size))
            return false;
        r.primary = primary->output;
        if (size) {
            r.screenWidth = size->width;
            r.screenHeight = size->height;
        }
        readModeTable(r.resources);

        const xcb_randr_output_t *outputs = xcb_randr_get_screen_resources_current_outputs(r.resources.get());
        const xcb_randr_crtc_t *crtcs = xcb_randr_get_screen_resources_current_crtcs(r.resources.get());
        Asked now{{outputs, outputs + xcb_randr_get_screen_resources_current_outputs_length(r.resources.get())},
                  {crtcs, crtcs + xcb_randr_get_screen_resources_current_crtcs_length(r.resources.get())},
                  {}, {}, {}};
        if (now.outputs != guess.outputs || now.crtcs != guess.crtcs) {
            now = askEverything(std::move(now.outputs), std::move(now.crtcs));
            receiveEverything(now, r);
            ++roundTrips;
        }
        crtcIds = now.crtcs;
        remember(r);
        return true;
    }

    // The quick read where it does, else the full one; `full`: the full one, with the screen's size.
    bool read(ScreenRead &r, bool full = false)
    {
        if (!connect())
            return false;
        const bool edidStale = edidChanged.exchange(false);
        if (!full && !seen.empty() && !edidStale) {
            if (quickRead(r))
                return true;
            if (xcb_connection_has_error(connection))
                return false;
            r = ScreenRead();
        }
        return fullRead(r, full);
    }

    // --- Applying -----------------------------------------------------------------------------

    bool checked(xcb_void_cookie_t cookie)
    {
        ++roundTrips;
        std::unique_ptr<xcb_generic_error_t, FreeDeleter<xcb_generic_error_t>> error(
            xcb_request_check(connection, cookie));
        return !error;
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

    bool setPrimary(xcb_randr_output_t output)
    {
        return checked(xcb_randr_set_output_primary_checked(connection, root, output));
    }

    // Sets the CRTC as `c` wants it (`back`: as it was), its outputs as they are. `time` is the
    // server's last change, which a success moves on.
    ApplyResult setCrtc(const CrtcChange &c, bool back, xcb_timestamp_t &time, xcb_timestamp_t configTime,
                        bool *stale)
    {
        const xcb_randr_get_crtc_info_reply_t &now = *c.now;
        const xcb_randr_output_t *outputs =
            xcb_randr_get_crtc_info_outputs(const_cast<xcb_randr_get_crtc_info_reply_t *>(&now));
        const int outputCount = xcb_randr_get_crtc_info_outputs_length(&now);
        Reply<xcb_randr_set_crtc_config_reply_t> reply(xcb_randr_set_crtc_config_reply(
            connection,
            xcb_randr_set_crtc_config(connection, c.crtc, time, configTime, int16_t(back ? now.x : c.x),
                                      int16_t(back ? now.y : c.y), back ? now.mode : c.mode,
                                      back ? now.rotation : c.rotation, uint32_t(outputCount), outputs),
            nullptr));
        ++roundTrips;
        if (!reply)
            return ApplyResult::Refused;
        if (reply->status == XCB_RANDR_SET_CONFIG_INVALID_CONFIG_TIME
            || reply->status == XCB_RANDR_SET_CONFIG_INVALID_TIME) {
            *stale = true;
            return ApplyResult::Refused;
        }
        if (reply->status != XCB_RANDR_SET_CONFIG_SUCCESS)
            return ApplyResult::Refused;
        time = reply->timestamp;
        return ApplyResult::Applied;
    }

    // The mode `p` wants among o's: the one the plan's read numbered, while it still has the
    // wanted values, else the first listed with them (the list changed since). None when gone.
    xcb_randr_mode_t modeIdFor(const OutputRead &o, const ApplyPlan::Output &p) const
    {
        DisplayMode m;
        const int n = p.modeNumber;
        if (n >= 0 && n < o.modeCount() && toMode(o.modeId(n), m) && m == p.wanted.current)
            return o.modeId(n);
        for (int i = 0; i < o.modeCount(); ++i) {
            if (toMode(o.modeId(i), m) && m == p.wanted.current)
                return o.modeId(i);
        }
        return XCB_NONE;
    }

    // What `plan` makes of each CRTC, from the full read `r`: what a change does not set stays
    // as `r` has it. Stale when an output it changes is no longer on or lost the wanted mode
    // since the plan's read; Refused for a turn the CRTC cannot do or a place the screen cannot
    // hold (it starts at 0, 0).
    ApplyResult crtcChanges(const ScreenRead &r, const ApplyPlan &plan, std::vector<CrtcChange> &out,
                            bool *stale) const
    {
        out.clear();
        for (const ApplyPlan::Output &p : plan.changes) {
            if (!p.modeChanges && !p.moves && !p.turns)
                continue;
            const OutputRead *o = r.find(p.now.name);
            if (!o || !o->crtc || o->crtc->mode == XCB_NONE) {
                *stale = true;
                return ApplyResult::Refused;
            }
            // Outputs sharing a CRTC share its mode and place: each change sets what it changes.
            auto c = std::find_if(out.begin(), out.end(), [&](const CrtcChange &e) { return e.crtc == o->info->crtc; });
            if (c == out.end())
                c = out.insert(out.end(), {o->info->crtc, o->crtc, o->crtc->mode, o->crtc->x, o->crtc->y, o->crtc->rotation});
            if (p.modeChanges && (c->mode = modeIdFor(*o, p)) == XCB_NONE) {
                *stale = true;
                return ApplyResult::Refused;
            }
            if (p.moves) {
                if (p.wanted.x < 0 || p.wanted.y < 0 || p.wanted.x > INT16_MAX || p.wanted.y > INT16_MAX)
                    return ApplyResult::Refused;
                c->x = p.wanted.x;
                c->y = p.wanted.y;
            }
            if (p.turns) {
                c->rotation = p.wanted.transform >= Normal && p.wanted.transform <= Flipped270
                    ? rotationFor(p.wanted.transform, o->crtc->rotations)
                    : 0;
                if (!c->rotation)
                    return ApplyResult::Refused;
            }
        }
        return ApplyResult::Applied;
    }

    // The output `plan` makes primary; XCB_NONE when the primary stays. Stale when it is gone.
    static ApplyResult primaryFor(const ScreenRead &r, const ApplyPlan &plan, xcb_randr_output_t &primary,
                                  bool *stale)
    {
        primary = XCB_NONE;
        for (const ApplyPlan::Output &p : plan.changes) {
            if (!p.primaryChanges || !p.wanted.primary)
                continue;
            const OutputRead *o = r.find(p.now.name);
            if (!o) {
                *stale = true;
                return ApplyResult::Refused;
            }
            if (o->id != r.primary)
                primary = o->id;
        }
        return ApplyResult::Applied;
    }

    // The screen that holds every CRTC once `changes` are made; false when a mode is unknown.
    bool screenFor(const ScreenRead &r, const std::vector<CrtcChange> &changes, int &width, int &height) const
    {
        width = height = 0;
        for (const auto &[id, crtc] : r.crtcs) {
            if (!crtc || crtc->mode == XCB_NONE)
                continue;
            int x = crtc->x, y = crtc->y, w = crtc->width, h = crtc->height;
            const auto c = std::find_if(changes.begin(), changes.end(), [&](const CrtcChange &e) { return e.crtc == id; });
            if (c != changes.end()) {
                x = c->x;
                y = c->y;
            }
            // A CRTC only moved keeps its size (which a scaling transform may have set too).
            if (c != changes.end() && (c->mode != crtc->mode || c->rotation != crtc->rotation)) {
                const xcb_randr_mode_info_t *info = modeInfo(c->mode);
                if (!info)
                    return false;
                const bool sideways = c->rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270);
                w = sideways ? info->height : info->width;
                h = sideways ? info->width : info->height;
            }
            width = std::max(width, x + w);
            height = std::max(height, y + h);
        }
        return true;
    }

    // The grabbed part: the screen grown to hold the CRTCs both where they are and where they go,
    // each CRTC set, the primary set; what went through put back when a step fails; then the
    // screen down to `width` x `height` (or back, when nothing changed).
    ApplyResult send(const ScreenRead &r, const std::vector<CrtcChange> &changes, xcb_randr_output_t primary,
                     int width, int height, bool *stale)
    {
        const int grownWidth = std::max(r.screenWidth, width);
        const int grownHeight = std::max(r.screenHeight, height);
        ApplyResult result = ApplyResult::Applied;
        // Grow first: a CRTC may not reach beyond the screen, not even for a moment.
        if ((grownWidth != r.screenWidth || grownHeight != r.screenHeight) && !resizeScreen(grownWidth, grownHeight))
            result = ApplyResult::Refused;
        xcb_timestamp_t time = r.resources->timestamp;
        const xcb_timestamp_t configTime = r.resources->config_timestamp;
        size_t done = 0;
        while (result == ApplyResult::Applied && done < changes.size()) {
            result = setCrtc(changes[done], false, time, configTime, stale);
            if (result == ApplyResult::Applied)
                ++done;
        }
        if (result == ApplyResult::Applied && primary != XCB_NONE && !setPrimary(primary))
            result = ApplyResult::Refused;
        // All or nothing: what went through is put back when a later step failed.
        if (result != ApplyResult::Applied) {
            bool ignored = false;
            while (done > 0)
                setCrtc(changes[--done], true, time, configTime, &ignored);
        }
        const int finalWidth = result == ApplyResult::Applied ? width : r.screenWidth;
        const int finalHeight = result == ApplyResult::Applied ? height : r.screenHeight;
        if (finalWidth != grownWidth || finalHeight != grownHeight)
            resizeScreen(finalWidth, finalHeight);
        return result;
    }

    // The plan as one update of the server, taken by no other client half done.
    ApplyResult commit(const ApplyPlan &plan, bool *stale)
    {
        *stale = false;
        ScreenRead r;
        // The requests need the screen's timestamps, its CRTCs and its size: a full read.
        if (!read(r, true))
            return ApplyResult::Failed;
        std::vector<CrtcChange> changes;
        xcb_randr_output_t primary = XCB_NONE;
        ApplyResult result = crtcChanges(r, plan, changes, stale);
        if (result == ApplyResult::Applied)
            result = primaryFor(r, plan, primary, stale);
        if (result != ApplyResult::Applied || (changes.empty() && primary == XCB_NONE))
            return result;
        int width = r.screenWidth, height = r.screenHeight;
        if (!changes.empty() && !screenFor(r, changes, width, height))
            return ApplyResult::Failed;
        xcb_grab_server(connection);
        result = send(r, changes, primary, width, height, stale);
        xcb_ungrab_server(connection);
        xcb_flush(connection);
        return result;
    }
};

// Listens for RandR's notifications (screen size, CRTC, output: switches, plugging, mode
// lists, EDIDs) on a connection of its own, in a thread that sleeps in poll() between them: no
// cost while nothing changes. A lost server is tried again once a second.
struct X11DisplayBackend::Watcher
{
    std::string displayName;
    std::function<void()> callback;
    std::atomic<bool> *edidChanged;
    int wake[2] = {-1, -1};
    std::thread thread;
    uint8_t notifyEvent = 0;
    xcb_atom_t edidAtom = XCB_NONE;

    Watcher(std::string name, std::function<void()> cb, std::atomic<bool> *edid)
        : displayName(std::move(name)), callback(std::move(cb)), edidChanged(edid)
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
                        changed = heard(event) || changed;
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

    // Whether `event` is a change to announce. Of the output properties only the EDID counts.
    bool heard(const xcb_generic_event_t *event)
    {
        const uint8_t type = event->response_type & 0x7f;
        if (type == 0)
            return false;
        const auto *notify = reinterpret_cast<const xcb_randr_notify_event_t *>(event);
        if (type != notifyEvent || notify->subCode != XCB_RANDR_NOTIFY_OUTPUT_PROPERTY)
            return true;
        if (notify->u.op.atom != edidAtom)
            return false;
        *edidChanged = true;
        return true;
    }

    bool listen(xcb_connection_t *c, int screenNumber)
    {
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
        for (int i = 0; i < screenNumber && screens.rem; ++i)
            xcb_screen_next(&screens);
        if (!screens.rem)
            return false;
        static const char edid[] = "EDID";
        auto atomCookie = xcb_intern_atom(c, 0, sizeof edid - 1, edid);
        Reply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 3), nullptr));
        Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(c, atomCookie, nullptr));
        const xcb_query_extension_reply_t *randr = xcb_get_extension_data(c, &xcb_randr_id);
        if (!version || !atom || !randr || !randr->present)
            return false;
        edidAtom = atom->atom;
        notifyEvent = uint8_t(randr->first_event + XCB_RANDR_NOTIFY);
        xcb_randr_select_input(c, screens.data->root,
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE
                                   | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_PROPERTY);
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
        watcher = std::make_unique<Watcher>(d->displayName, std::move(callback), &d->edidChanged);
}

bool X11DisplayBackend::readOutputs(std::vector<DisplayOutput> &outputs)
{
    std::lock_guard<std::mutex> lock(mutex);
    ScreenRead r;
    if (!d->read(r))
        return false;
    outputs = d->toOutputs(r);
    return true;
}

bool X11DisplayBackend::readModes(const std::string &output, std::vector<DisplayMode> &modes)
{
    std::lock_guard<std::mutex> lock(mutex);
    ScreenRead r;
    if (!d->read(r))
        return false;
    const OutputRead *o = r.find(output);
    return o && d->modesOf(*o, modes);
}

LayoutFeatures X11DisplayBackend::features() const
{
    LayoutFeatures has;
    has.position = true;
    has.transform = true;
    has.primary = true;
    return has;
}

DisplayBackend::ApplyResult X11DisplayBackend::commit(const ApplyPlan &plan, bool *stale)
{
    std::lock_guard<std::mutex> lock(mutex);
    return d->commit(plan, stale);
}

int X11DisplayBackend::takeRoundTrips()
{
    std::lock_guard<std::mutex> lock(mutex);
    const int n = d->roundTrips;
    d->roundTrips = 0;
    return n;
}
