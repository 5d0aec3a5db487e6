#include "WlrootsDisplayBackend.h"

#include "MonitorIdentity.h"

#include "wlr-output-management-unstable-v1-client-protocol.h"

#include <QDebug>
#include <QString>

#include <algorithm>
#include <cstring>
#include <list>
#include <vector>

namespace {
// The manager's version this program speaks.
constexpr uint32_t ManagerVersion = 2;

struct Head;

struct Mode : WaylandMode
{
    zwlr_output_mode_v1 *proxy = nullptr;
    Head *head = nullptr;
};

struct Head : WaylandOutput
{
    zwlr_output_head_v1 *proxy = nullptr;
    std::list<Head> *list = nullptr; // where it lives, to leave it when finished
    std::string make;
    std::string model;
    std::string serial;

    static Mode *of(WaylandMode *mode) { return static_cast<Mode *>(mode); }

    void dropMode(Mode *mode)
    {
        modes.erase(std::remove(modes.begin(), modes.end(), mode), modes.end());
        if (current == mode)
            current = nullptr;
        zwlr_output_mode_v1_destroy(mode->proxy);
        delete mode;
    }

    void destroy()
    {
        while (!modes.empty())
            dropMode(of(modes.back()));
        zwlr_output_head_v1_destroy(proxy);
    }
};

enum class Outcome { Pending, Succeeded, Failed, Cancelled };

const zwlr_output_mode_v1_listener modeListener = {
    [](void *data, zwlr_output_mode_v1 *, int32_t width, int32_t height) {
        auto *m = static_cast<Mode *>(data);
        m->width = width;
        m->height = height;
    },
    [](void *data, zwlr_output_mode_v1 *, int32_t refresh) { static_cast<Mode *>(data)->refresh = refresh; },
    [](void *data, zwlr_output_mode_v1 *) { static_cast<Mode *>(data)->preferred = true; },
    [](void *data, zwlr_output_mode_v1 *) {
        auto *m = static_cast<Mode *>(data);
        m->head->dropMode(m);
    },
};

const zwlr_output_head_v1_listener headListener = {
    [](void *data, zwlr_output_head_v1 *, const char *name) { static_cast<Head *>(data)->name = name; },
    [](void *, zwlr_output_head_v1 *, const char *) {},      // description
    [](void *, zwlr_output_head_v1 *, int32_t, int32_t) {},  // physical size
    [](void *data, zwlr_output_head_v1 *, zwlr_output_mode_v1 *proxy) {
        auto *h = static_cast<Head *>(data);
        auto *m = new Mode;
        m->proxy = proxy;
        m->head = h;
        h->modes.push_back(m);
        zwlr_output_mode_v1_add_listener(proxy, &modeListener, m);
    },
    [](void *data, zwlr_output_head_v1 *, int32_t enabled) {
        static_cast<Head *>(data)->enabled = enabled != 0;
    },
    [](void *data, zwlr_output_head_v1 *, zwlr_output_mode_v1 *proxy) {
        auto *h = static_cast<Head *>(data);
        h->current = nullptr;
        for (WaylandMode *m : h->modes) {
            if (Head::of(m)->proxy == proxy)
                h->current = m;
        }
    },
    [](void *data, zwlr_output_head_v1 *, int32_t x, int32_t y) {
        auto *h = static_cast<Head *>(data);
        h->x = x;
        h->y = y;
    },
    [](void *data, zwlr_output_head_v1 *, int32_t transform) { static_cast<Head *>(data)->transform = transform; },
    [](void *data, zwlr_output_head_v1 *, wl_fixed_t scale) {
        static_cast<Head *>(data)->scale = wl_fixed_to_double(scale);
    },
    [](void *data, zwlr_output_head_v1 *) {
        // Unplugged: the head leaves the list for good.
        auto *h = static_cast<Head *>(data);
        std::list<Head> *list = h->list;
        h->destroy();
        list->remove_if([h](const Head &each) { return &each == h; });
    },
    [](void *data, zwlr_output_head_v1 *, const char *make) { static_cast<Head *>(data)->make = make ? make : ""; },
    [](void *data, zwlr_output_head_v1 *, const char *model) { static_cast<Head *>(data)->model = model ? model : ""; },
    [](void *data, zwlr_output_head_v1 *, const char *serial) {
        static_cast<Head *>(data)->serial = serial ? serial : "";
    },
};

void setOutcome(void *data, Outcome outcome)
{
    *static_cast<Outcome *>(data) = outcome;
}

const zwlr_output_configuration_v1_listener configurationListener = {
    [](void *data, zwlr_output_configuration_v1 *) { setOutcome(data, Outcome::Succeeded); },
    [](void *data, zwlr_output_configuration_v1 *) { setOutcome(data, Outcome::Failed); },
    [](void *data, zwlr_output_configuration_v1 *) { setOutcome(data, Outcome::Cancelled); },
};
} // namespace

struct WlrootsDisplayBackend::Private
{
    // The backend's, null while a connection is being made.
    const std::unique_ptr<WaylandConnection> *connection = nullptr;
    zwlr_output_manager_v1 *manager = nullptr;
    uint32_t serial = 0;
    std::list<Head> heads; // stable addresses: the proxies point at them

    static const zwlr_output_manager_v1_listener managerListener;

    void bind(wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
    {
        if (manager || std::strcmp(interface, zwlr_output_manager_v1_interface.name) != 0)
            return;
        manager = static_cast<zwlr_output_manager_v1 *>(wl_registry_bind(
            registry, name, &zwlr_output_manager_v1_interface, std::min(version, ManagerVersion)));
        zwlr_output_manager_v1_add_listener(manager, &managerListener, this);
    }

    void announce()
    {
        if (connection && *connection)
            (*connection)->changeAnnounced();
    }

    void forget()
    {
        for (Head &h : heads)
            h.destroy();
        heads.clear();
        if (manager)
            zwlr_output_manager_v1_destroy(manager);
        manager = nullptr;
        serial = 0;
    }

    // One configuration naming every head: each changed one as the plan wants it, the others as
    // they stand (off ones off).
    zwlr_output_configuration_v1 *configure(const std::vector<WaylandDisplayBackend::Change> &changes)
    {
        zwlr_output_configuration_v1 *config = zwlr_output_manager_v1_create_configuration(manager, serial);
        for (const Head &h : heads) {
            if (!h.enabled) {
                zwlr_output_configuration_v1_disable_head(config, h.proxy);
                continue;
            }
            const WaylandDisplayBackend::Change *change = nullptr;
            for (const auto &each : changes) {
                if (each.output == &h)
                    change = &each;
            }
            zwlr_output_configuration_head_v1 *c = zwlr_output_configuration_v1_enable_head(config, h.proxy);
            if (change)
                setChanged(c, h, *change);
            else
                setAsItStands(c, h);
            // The compositor keeps what it was told until the configuration goes.
            zwlr_output_configuration_head_v1_destroy(c);
        }
        return config;
    }

    static void setAsItStands(zwlr_output_configuration_head_v1 *c, const Head &h)
    {
        if (h.current)
            zwlr_output_configuration_head_v1_set_mode(c, Head::of(h.current)->proxy);
        zwlr_output_configuration_head_v1_set_position(c, h.x, h.y);
        zwlr_output_configuration_head_v1_set_transform(c, h.transform);
        zwlr_output_configuration_head_v1_set_scale(c, wl_fixed_from_double(h.scale));
    }

    static void setChanged(zwlr_output_configuration_head_v1 *c, const Head &h,
                           const WaylandDisplayBackend::Change &change)
    {
        const DisplayOutput &wanted = change.entry->wanted;
        if (change.target)
            zwlr_output_configuration_head_v1_set_mode(c, Head::of(change.target)->proxy);
        else if (change.customMode())
            zwlr_output_configuration_head_v1_set_custom_mode(c, wanted.current.PelsWidth, wanted.current.PelsHeight,
                                                              wanted.current.DisplayFrequency * 1000);
        else if (h.current)
            zwlr_output_configuration_head_v1_set_mode(c, Head::of(h.current)->proxy);
        zwlr_output_configuration_head_v1_set_position(c, wanted.x, wanted.y);
        zwlr_output_configuration_head_v1_set_transform(c, wanted.transform);
        zwlr_output_configuration_head_v1_set_scale(c, wl_fixed_from_double(wanted.scale));
    }
};

const zwlr_output_manager_v1_listener WlrootsDisplayBackend::Private::managerListener = {
    [](void *data, zwlr_output_manager_v1 *, zwlr_output_head_v1 *proxy) {
        auto *d = static_cast<Private *>(data);
        d->heads.emplace_back();
        Head &h = d->heads.back();
        h.proxy = proxy;
        h.list = &d->heads;
        zwlr_output_head_v1_add_listener(proxy, &headListener, &h);
    },
    [](void *data, zwlr_output_manager_v1 *, uint32_t serial) {
        auto *d = static_cast<Private *>(data);
        d->serial = serial;
        d->announce();
    },
    [](void *data, zwlr_output_manager_v1 *manager) {
        // The compositor stopped serving the manager: nothing can be read or set any more.
        (void)manager;
        auto *d = static_cast<Private *>(data);
        d->forget();
        d->announce();
    },
};

WlrootsDisplayBackend::WlrootsDisplayBackend(const std::string &display)
    : d(std::make_unique<Private>())
{
    WaylandConnection::Handlers handlers;
    handlers.global = [this](wl_registry *registry, uint32_t name, const char *interface, uint32_t version) {
        d->bind(registry, name, interface, version);
    };
    d->connection = &connection;
    open(display, handlers, "wlroots");
}

WlrootsDisplayBackend::~WlrootsDisplayBackend()
{
    {
        auto held = connection->lock();
        d->forget();
    }
    connection.reset();
}

bool WlrootsDisplayBackend::offered()
{
    std::shared_lock<std::shared_mutex> shared(replacing);
    auto held = connection->lock();
    return d->manager && connection->isAlive();
}

void WlrootsDisplayBackend::forget()
{
    d->forget();
}

bool WlrootsDisplayBackend::served() const
{
    return d->manager != nullptr;
}

std::vector<WaylandOutput *> WlrootsDisplayBackend::outputs()
{
    std::vector<WaylandOutput *> list;
    for (Head &h : d->heads)
        list.push_back(&h);
    return list;
}

void WlrootsDisplayBackend::describe(const WaylandOutput &output, DisplayOutput &out)
{
    const auto &head = static_cast<const Head &>(output);
    MonitorIdentity::fromNames(head.make, head.model, head.serial, out);
    // The protocol knows no primary: the head at the layout's origin, the first one there.
    out.primary = false;
    for (const Head &h : d->heads) {
        if (h.enabled && h.current && h.x == 0 && h.y == 0) {
            out.primary = &h == &head;
            break;
        }
    }
}

LayoutFeatures WlrootsDisplayBackend::features() const
{
    // The protocol knows no primary.
    return {true, true, true, false};
}

bool WlrootsDisplayBackend::takesUnlisted(const WaylandOutput &output) const
{
    // A head whose compositor keeps no list of modes (virtual and nested outputs): wlroots then
    // announces the mode in use as its only, unpreferred mode, and takes custom modes.
    return output.modes.size() <= 1 && (output.modes.empty() || !output.modes.front()->preferred);
}

void WlrootsDisplayBackend::sayNoneInUse(size_t count)
{
    // sway 1.7 reports every head disabled at 0x0: believing it would switch outputs off.
    qDebug().noquote() << QStringLiteral("wlroots: the compositor reports no output in use (%1 heads, none "
                                         "enabled with a mode): nothing is listed or set")
                              .arg(count);
}

WaylandDisplayBackend::Answer WlrootsDisplayBackend::send(std::unique_lock<std::mutex> &held,
                                                          const std::vector<Change> &changes)
{
    zwlr_output_configuration_v1 *config = d->configure(changes);
    Outcome outcome = Outcome::Pending;
    zwlr_output_configuration_v1_add_listener(config, &configurationListener, &outcome);
    zwlr_output_configuration_v1_apply(config);
    connection->flush();
    connection->waitUntil(held, [&] { return outcome != Outcome::Pending; });
    zwlr_output_configuration_v1_destroy(config);
    switch (outcome) {
    case Outcome::Succeeded:
        return Answer::Applied;
    case Outcome::Failed:
        qDebug().noquote() << QStringLiteral("wlroots: the compositor did not take %1")
                                  .arg(QString::fromStdString(text(changes)));
        return Answer::Refused;
    case Outcome::Cancelled:
        return Answer::Stale;
    case Outcome::Pending:
        break;
    }
    return Answer::Failed;
}
