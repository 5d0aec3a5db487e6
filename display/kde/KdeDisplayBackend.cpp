#include "KdeDisplayBackend.h"

#include "MonitorIdentity.h"

#include "kde-output-device-v2-client-protocol.h"
#include "kde-output-management-v2-client-protocol.h"
#include "kde-output-order-v1-client-protocol.h"
#include "kde-primary-output-v1-client-protocol.h"

#include <QByteArray>
#include <QDebug>
#include <QString>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <list>
#include <vector>

namespace {
// The versions this program speaks: device names came with version 2 of the device; the
// primary is set with version 2 of the management (KWin 5.26) or, by the order of the outputs,
// with version 3 (KWin 5.27 ignores the request of version 2).
constexpr uint32_t DeviceVersion = 2;
constexpr uint32_t ManagementVersion = 3;
constexpr uint32_t PrimaryVersion = 1;
constexpr uint32_t OrderVersion = 1;

struct Device;

struct Mode : WaylandMode
{
    kde_output_device_mode_v2 *proxy = nullptr;
    Device *device = nullptr;
};

struct Device : WaylandOutput
{
    kde_output_device_v2 *proxy = nullptr;
    uint32_t global = 0; // the registry's name for it, by which it is removed
    std::string uuid;
    std::string manufacturer;
    std::string model;
    std::string serial;
    QByteArray edid; // empty when KWin has none

    static Mode *of(WaylandMode *mode) { return static_cast<Mode *>(mode); }

    void dropMode(Mode *mode)
    {
        modes.erase(std::remove(modes.begin(), modes.end(), mode), modes.end());
        if (current == mode)
            current = nullptr;
        kde_output_device_mode_v2_destroy(mode->proxy);
        delete mode;
    }

    void destroy()
    {
        while (!modes.empty())
            dropMode(of(modes.back()));
        kde_output_device_v2_destroy(proxy);
    }
};

enum class Outcome { Pending, Applied, Failed };

const kde_output_device_mode_v2_listener modeListener = {
    [](void *data, kde_output_device_mode_v2 *, int32_t width, int32_t height) {
        auto *m = static_cast<Mode *>(data);
        m->width = width;
        m->height = height;
    },
    [](void *data, kde_output_device_mode_v2 *, int32_t refresh) { static_cast<Mode *>(data)->refresh = refresh; },
    [](void *data, kde_output_device_mode_v2 *) { static_cast<Mode *>(data)->preferred = true; },
    [](void *data, kde_output_device_mode_v2 *) {
        auto *m = static_cast<Mode *>(data);
        m->device->dropMode(m);
    },
};

void setOutcome(void *data, Outcome outcome)
{
    *static_cast<Outcome *>(data) = outcome;
}

const kde_output_configuration_v2_listener configurationListener = {
    [](void *data, kde_output_configuration_v2 *) { setOutcome(data, Outcome::Applied); },
    [](void *data, kde_output_configuration_v2 *) { setOutcome(data, Outcome::Failed); },
};
} // namespace

struct KdeDisplayBackend::Private
{
    // The backend's, null while a connection is being made.
    const std::unique_ptr<WaylandConnection> *connection = nullptr;
    kde_output_management_v2 *management = nullptr;
    kde_primary_output_v1 *primaryOutput = nullptr;
    kde_output_order_v1 *outputOrder = nullptr;
    std::string primary; // as KWin names it last
    std::vector<std::string> order, nextOrder; // the outputs in use, KWin's primary first
    std::list<Device> devices; // stable addresses: the proxies point at them
    // Read without the lock: what the bound globals let be set.
    std::atomic<uint32_t> managementVersion{0};
    std::atomic<bool> primaryTold{false};

    static const kde_output_device_v2_listener deviceListener;
    static const kde_primary_output_v1_listener primaryListener;
    static const kde_output_order_v1_listener orderListener;

    void bind(wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
    {
        if (std::strcmp(interface, kde_output_device_v2_interface.name) == 0) {
            devices.emplace_back();
            Device &device = devices.back();
            device.global = name;
            device.proxy = static_cast<kde_output_device_v2 *>(
                wl_registry_bind(registry, name, &kde_output_device_v2_interface, std::min(version, DeviceVersion)));
            kde_output_device_v2_add_listener(device.proxy, &deviceListener, this);
        } else if (!management && std::strcmp(interface, kde_output_management_v2_interface.name) == 0) {
            management = static_cast<kde_output_management_v2 *>(wl_registry_bind(
                registry, name, &kde_output_management_v2_interface, std::min(version, ManagementVersion)));
            managementVersion = std::min(version, ManagementVersion);
        } else if (!outputOrder && std::strcmp(interface, kde_output_order_v1_interface.name) == 0) {
            outputOrder = static_cast<kde_output_order_v1 *>(
                wl_registry_bind(registry, name, &kde_output_order_v1_interface, std::min(version, OrderVersion)));
            kde_output_order_v1_add_listener(outputOrder, &orderListener, this);
            primaryTold = true;
        } else if (!primaryOutput && std::strcmp(interface, kde_primary_output_v1_interface.name) == 0) {
            primaryOutput = static_cast<kde_primary_output_v1 *>(wl_registry_bind(
                registry, name, &kde_primary_output_v1_interface, std::min(version, PrimaryVersion)));
            kde_primary_output_v1_add_listener(primaryOutput, &primaryListener, this);
            primaryTold = true;
        }
    }

    // KWin 5.27 tells the primary as the first of the order, earlier ones by name.
    const std::string &primaryName() const { return order.empty() ? primary : order.front(); }

    // The outputs in use as KWin orders them, the primary first; those it has not ordered yet
    // after them.
    std::vector<Device *> inUseOrdered()
    {
        std::vector<Device *> list;
        auto add = [&](Device *device) {
            if (device->enabled && std::find(list.begin(), list.end(), device) == list.end())
                list.push_back(device);
        };
        std::vector<std::string> names = order;
        if (names.empty() && !primary.empty())
            names.push_back(primary);
        for (const std::string &name : names) {
            for (Device &device : devices) {
                if (device.name == name)
                    add(&device);
            }
        }
        for (Device &device : devices)
            add(&device);
        return list;
    }

    // Makes `wanted` the primary. By the order, KWin asks for every output: the new primary and
    // the old one change places, every other keeps its own; off ones are 0.
    void setPrimary(kde_output_configuration_v2 *config, Device *wanted)
    {
        if (managementVersion < KDE_OUTPUT_CONFIGURATION_V2_SET_PRIORITY_SINCE_VERSION) {
            kde_output_configuration_v2_set_primary_output(config, wanted->proxy);
            return;
        }
        std::vector<Device *> ordered = inUseOrdered();
        const auto at = std::find(ordered.begin(), ordered.end(), wanted);
        if (at != ordered.end())
            std::iter_swap(ordered.begin(), at);
        for (Device &device : devices) {
            const auto place = std::find(ordered.begin(), ordered.end(), &device);
            const uint32_t priority = place == ordered.end() ? 0 : uint32_t(place - ordered.begin()) + 1;
            kde_output_configuration_v2_set_priority(config, device.proxy, priority);
        }
    }

    // Unplugged: the device leaves the list for good.
    void unbind(uint32_t name)
    {
        for (auto it = devices.begin(); it != devices.end(); ++it) {
            if (it->global == name) {
                it->destroy();
                devices.erase(it);
                announce();
                return;
            }
        }
    }

    void announce()
    {
        if (connection && *connection)
            (*connection)->changeAnnounced();
    }

    Device *device(kde_output_device_v2 *proxy)
    {
        for (Device &each : devices) {
            if (each.proxy == proxy)
                return &each;
        }
        return nullptr;
    }

    void forget()
    {
        for (Device &device : devices)
            device.destroy();
        devices.clear();
        if (management)
            kde_output_management_v2_destroy(management);
        // Version 1 has no destructor request: the proxy alone goes.
        if (primaryOutput)
            wl_proxy_destroy(reinterpret_cast<wl_proxy *>(primaryOutput));
        if (outputOrder)
            kde_output_order_v1_destroy(outputOrder);
        management = nullptr;
        primaryOutput = nullptr;
        outputOrder = nullptr;
        managementVersion = 0;
        primaryTold = false;
        primary.clear();
        order.clear();
        nextOrder.clear();
    }
};

const kde_output_device_v2_listener KdeDisplayBackend::Private::deviceListener = {
    [](void *data, kde_output_device_v2 *proxy, int32_t x, int32_t y, int32_t, int32_t, int32_t,
       const char *manufacturer, const char *model, int32_t transform) {
        if (Device *device = static_cast<Private *>(data)->device(proxy)) {
            device->x = x;
            device->y = y;
            device->transform = transform;
            device->manufacturer = manufacturer ? manufacturer : "";
            device->model = model ? model : "";
        }
    },
    [](void *data, kde_output_device_v2 *proxy, kde_output_device_mode_v2 *mode) {
        Device *device = static_cast<Private *>(data)->device(proxy);
        if (!device)
            return;
        device->current = nullptr;
        for (WaylandMode *m : device->modes) {
            if (Device::of(m)->proxy == mode)
                device->current = m;
        }
    },
    [](void *data, kde_output_device_v2 *proxy, kde_output_device_mode_v2 *mode) {
        Device *device = static_cast<Private *>(data)->device(proxy);
        if (!device) {
            kde_output_device_mode_v2_destroy(mode);
            return;
        }
        auto *m = new Mode;
        m->proxy = mode;
        m->device = device;
        kde_output_device_mode_v2_add_listener(mode, &modeListener, m);
        device->modes.push_back(m);
    },
    [](void *data, kde_output_device_v2 *) { static_cast<Private *>(data)->announce(); },
    [](void *data, kde_output_device_v2 *proxy, wl_fixed_t scale) {
        if (Device *device = static_cast<Private *>(data)->device(proxy))
            device->scale = wl_fixed_to_double(scale);
    },
    [](void *data, kde_output_device_v2 *proxy, const char *raw) {
        if (Device *device = static_cast<Private *>(data)->device(proxy))
            device->edid = QByteArray::fromBase64(QByteArray(raw ? raw : ""));
    },
    [](void *data, kde_output_device_v2 *proxy, int32_t enabled) {
        // The mode stays as last said: KWin need not say it again when the device comes back.
        if (Device *device = static_cast<Private *>(data)->device(proxy))
            device->enabled = enabled != 0;
    },
    [](void *data, kde_output_device_v2 *proxy, const char *uuid) {
        if (Device *device = static_cast<Private *>(data)->device(proxy))
            device->uuid = uuid;
    },
    [](void *data, kde_output_device_v2 *proxy, const char *serial) {
        if (Device *device = static_cast<Private *>(data)->device(proxy))
            device->serial = serial ? serial : "";
    },
    [](void *, kde_output_device_v2 *, const char *) {}, // EISA id
    [](void *, kde_output_device_v2 *, uint32_t) {},     // capabilities
    [](void *, kde_output_device_v2 *, uint32_t) {},     // overscan
    [](void *, kde_output_device_v2 *, uint32_t) {},     // VRR policy
    [](void *, kde_output_device_v2 *, uint32_t) {},     // RGB range
    [](void *data, kde_output_device_v2 *proxy, const char *name) {
        if (Device *device = static_cast<Private *>(data)->device(proxy))
            device->name = name;
    },
};

const kde_primary_output_v1_listener KdeDisplayBackend::Private::primaryListener = {
    [](void *data, kde_primary_output_v1 *, const char *name) {
        auto *d = static_cast<Private *>(data);
        d->primary = name;
        d->announce();
    },
};

const kde_output_order_v1_listener KdeDisplayBackend::Private::orderListener = {
    [](void *data, kde_output_order_v1 *, const char *name) {
        static_cast<Private *>(data)->nextOrder.push_back(name ? name : "");
    },
    [](void *data, kde_output_order_v1 *) {
        auto *d = static_cast<Private *>(data);
        d->order.swap(d->nextOrder);
        d->nextOrder.clear();
        d->announce();
    },
};

KdeDisplayBackend::KdeDisplayBackend(const std::string &display)
    : d(std::make_unique<Private>())
{
    WaylandConnection::Handlers handlers;
    handlers.global = [this](wl_registry *registry, uint32_t name, const char *interface, uint32_t version) {
        d->bind(registry, name, interface, version);
    };
    handlers.globalRemoved = [this](uint32_t name) { d->unbind(name); };
    d->connection = &connection;
    open(display, handlers, "KDE");
}

KdeDisplayBackend::~KdeDisplayBackend()
{
    {
        auto held = connection->lock();
        d->forget();
    }
    connection.reset();
}

bool KdeDisplayBackend::offered()
{
    std::shared_lock<std::shared_mutex> shared(replacing);
    auto held = connection->lock();
    return d->management && !d->devices.empty() && connection->isAlive();
}

void KdeDisplayBackend::forget()
{
    d->forget();
}

bool KdeDisplayBackend::served() const
{
    return d->management != nullptr;
}

std::vector<WaylandOutput *> KdeDisplayBackend::outputs()
{
    std::vector<WaylandOutput *> list;
    for (Device &device : d->devices)
        list.push_back(&device);
    return list;
}

void KdeDisplayBackend::describe(const WaylandOutput &output, DisplayOutput &out)
{
    const auto &device = static_cast<const Device &>(output);
    // KWin's primary output, by name (or uuid, as the protocol's text has it).
    const std::string &primary = d->primaryName();
    out.primary = !primary.empty() && (device.name == primary || device.uuid == primary);
    if (!MonitorIdentity::fromEdid(reinterpret_cast<const uint8_t *>(device.edid.constData()),
                                   size_t(device.edid.size()), out))
        MonitorIdentity::fromNames(device.manufacturer, device.model, device.serial, out);
    // KWin keeps the uuid of a device across restarts, but it names no monitor.
    if (out.identity.empty())
        out.identity = device.uuid;
}

void KdeDisplayBackend::sayNoneInUse(size_t count)
{
    qDebug().noquote() << QStringLiteral("KDE: KWin reports no output in use (%1 devices): nothing is listed or set")
                              .arg(count);
}

LayoutFeatures KdeDisplayBackend::features() const
{
    // The primary only where KWin tells which it is and takes another.
    const bool primary = d->primaryTold && d->managementVersion >= KDE_OUTPUT_CONFIGURATION_V2_SET_PRIMARY_OUTPUT_SINCE_VERSION;
    return {true, true, true, primary};
}

WaylandDisplayBackend::Answer KdeDisplayBackend::send(std::unique_lock<std::mutex> &held,
                                                      const std::vector<Change> &changes)
{
    kde_output_configuration_v2 *config = kde_output_management_v2_create_configuration(d->management);
    Outcome outcome = Outcome::Pending;
    kde_output_configuration_v2_add_listener(config, &configurationListener, &outcome);
    // What changes only: KWin keeps the rest as it is.
    for (const Change &change : changes) {
        auto *device = static_cast<Device *>(change.output);
        const ApplyPlan::Output &entry = *change.entry;
        if (change.target)
            kde_output_configuration_v2_mode(config, device->proxy, Device::of(change.target)->proxy);
        if (entry.moves)
            kde_output_configuration_v2_position(config, device->proxy, entry.wanted.x, entry.wanted.y);
        if (entry.turns)
            kde_output_configuration_v2_transform(config, device->proxy, entry.wanted.transform);
        if (entry.rescales)
            kde_output_configuration_v2_scale(config, device->proxy, wl_fixed_from_double(entry.wanted.scale));
        if (entry.primaryChanges && entry.wanted.primary)
            d->setPrimary(config, device);
    }
    kde_output_configuration_v2_apply(config);
    connection->flush();
    connection->waitUntil(held, [&] { return outcome != Outcome::Pending; });
    kde_output_configuration_v2_destroy(config);
    switch (outcome) {
    case Outcome::Applied:
        return Answer::Applied;
    case Outcome::Failed:
        qDebug().noquote() << QStringLiteral("KDE: KWin did not take %1").arg(QString::fromStdString(text(changes)));
        return Answer::Refused;
    case Outcome::Pending:
        break;
    }
    return Answer::Failed;
}
