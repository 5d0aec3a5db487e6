#include "KdeOutputServer.h"

#include "TestCompositor.h"

#include "kde-output-device-v2-server-protocol.h"
#include "kde-output-management-v2-server-protocol.h"
#include "kde-output-order-v1-server-protocol.h"
#include "kde-primary-output-v1-server-protocol.h"

#include <QPoint>
#include <QUuid>

#include <algorithm>
#include <map>
#include <vector>

using Mode = CompositorState::Mode;
using Output = CompositorState::Output;

namespace {
struct Device;
struct DeviceResource;

struct ModeObject
{
    wl_resource *resource = nullptr;
    DeviceResource *owner = nullptr; // null once removed or the device resource is gone
    Mode mode;
    bool preferred = false;
};

// One client's binding of one device.
struct DeviceResource
{
    wl_resource *resource = nullptr;
    Device *device = nullptr; // null once the global is destroyed
    std::vector<ModeObject *> modes; // in the order of the output's announced list
};

// One output's global; it outlives the output's unplugging by a while, for clients still binding.
struct Device
{
    KdeOutputServer::Private *server = nullptr;
    QString name;
    wl_global *global = nullptr;
    std::vector<DeviceResource *> resources;
    wl_event_source *destroyTimer = nullptr;
};

struct Change
{
    std::optional<bool> enabled;
    std::optional<Mode> mode;
    std::optional<QPoint> position;
    std::optional<int> transform;
    std::optional<double> scale;
};

struct Configuration
{
    wl_resource *resource = nullptr;
    KdeOutputServer::Private *server = nullptr;
    std::map<QString, Change> changes;
    std::optional<QString> primary;
    std::vector<std::pair<QString, uint32_t>> priorities; // as KWin 5.27 takes the primary
    bool applied = false;
    bool invalid = false; // names a device or mode that is gone or not the device's
    wl_event_source *timer = nullptr;
};

template<typename T>
void erase(std::vector<T *> &list, T *item)
{
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

// The outputs in use as kde_output_order_v1 tells them: the primary first.
QStringList orderOf(const CompositorState &state)
{
    QStringList order;
    for (const Output &out : state.outputs) {
        if (out.enabled)
            order.append(out.name);
    }
    if (order.removeOne(state.primary))
        order.prepend(state.primary);
    return order;
}

// Persistent across restarts, as the protocol asks: made from the name.
QByteArray uuidOf(const QString &name)
{
    static const QUuid ns = QUuid::fromString(QLatin1String("{6f5d7c1e-3b0a-4a55-9d3e-7a1c2f0b9e41}"));
    return QUuid::createUuidV5(ns, name).toString(QUuid::WithoutBraces).toLatin1();
}

bool geometryDiffers(const Output &a, const Output &b)
{
    return a.x != b.x || a.y != b.y || a.transform != b.transform || a.physicalWidth != b.physicalWidth
        || a.physicalHeight != b.physicalHeight;
}
} // namespace

struct KdeOutputServer::Private
{
    TestCompositor &compositor;
    wl_global *management = nullptr;
    wl_global *primary = nullptr;
    wl_global *order = nullptr;
    std::vector<Device *> devices;   // plugged in
    std::vector<Device *> unplugged; // globals removed, destroyed soon
    std::vector<wl_resource *> primaryResources;
    std::vector<wl_resource *> orderResources;

    explicit Private(TestCompositor &c)
        : compositor(c)
    {
    }

    const CompositorState &state() const { return compositor.state(); }

    void plug(const QString &name);
    void unplug(Device *device);
    static void destroyDevice(Device *device);
    static void bindDevice(wl_client *client, void *data, uint32_t version, uint32_t id);
    static void bindManagement(wl_client *client, void *data, uint32_t version, uint32_t id);
    static void bindPrimary(wl_client *client, void *data, uint32_t version, uint32_t id);
    static void bindOrder(wl_client *client, void *data, uint32_t version, uint32_t id);
    void sendAll(DeviceResource *device, const Output &out);
    void sendGeometry(DeviceResource *device, const Output &out);
    void sendCurrentMode(DeviceResource *device, const Output &out);
    void updateModes(DeviceResource *device, const Output &out);
    void sendChanges(DeviceResource *device, const Output &before, const Output &out);
    void sendPrimary(wl_resource *resource);
    void sendOrder(wl_resource *resource);
    void answer(Configuration *configuration);
    bool takePriorities(const Configuration *configuration, CompositorState &next) const;
    CompositorState configured(const Configuration *configuration) const;
};

static void destroyMode(wl_resource *resource)
{
    auto *mode = static_cast<ModeObject *>(wl_resource_get_user_data(resource));
    if (mode->owner)
        erase(mode->owner->modes, mode);
    delete mode;
}

static void destroyDeviceResource(wl_resource *resource)
{
    auto *device = static_cast<DeviceResource *>(wl_resource_get_user_data(resource));
    for (ModeObject *mode : device->modes)
        mode->owner = nullptr;
    if (device->device)
        erase(device->device->resources, device);
    delete device;
}

static ModeObject *createMode(DeviceResource *device, const Mode &mode, bool preferred)
{
    wl_client *client = wl_resource_get_client(device->resource);
    auto *object = new ModeObject{nullptr, device, mode, preferred};
    object->resource = wl_resource_create(client, &kde_output_device_mode_v2_interface,
                                          wl_resource_get_version(device->resource), 0);
    if (!object->resource) {
        delete object;
        wl_client_post_no_memory(client);
        return nullptr;
    }
    wl_resource_set_implementation(object->resource, nullptr, object, destroyMode);
    kde_output_device_v2_send_mode(device->resource, object->resource);
    kde_output_device_mode_v2_send_size(object->resource, mode.width, mode.height);
    if (mode.refresh > 0)
        kde_output_device_mode_v2_send_refresh(object->resource, mode.refresh);
    if (preferred)
        kde_output_device_mode_v2_send_preferred(object->resource);
    return object;
}

// Keeps the mode objects whose mode is still offered, removes the others and announces the new.
void KdeOutputServer::Private::updateModes(DeviceResource *device, const Output &out)
{
    const QList<Mode> modes = out.announcedModes();
    std::vector<ModeObject *> old = device->modes;
    std::vector<ModeObject *> kept(modes.size(), nullptr);
    for (int i = 0; i < modes.size(); ++i) {
        const bool preferred = i == out.preferred;
        auto same = std::find_if(old.begin(), old.end(), [&](ModeObject *m) {
            return m->mode == modes.at(i) && m->preferred == preferred;
        });
        if (same != old.end()) {
            kept[i] = *same;
            old.erase(same);
        }
    }
    // A removed mode stays, inert, until the client goes: libwayland hands a destroyed server-side
    // id out again at once, and the client still holds the old object when it reads the new one.
    for (ModeObject *gone : old) {
        kde_output_device_mode_v2_send_removed(gone->resource);
        gone->owner = nullptr;
    }
    for (int i = 0; i < modes.size(); ++i) {
        if (!kept[i])
            kept[i] = createMode(device, modes.at(i), i == out.preferred);
    }
    kept.erase(std::remove(kept.begin(), kept.end(), nullptr), kept.end());
    device->modes = kept;
}

void KdeOutputServer::Private::sendGeometry(DeviceResource *device, const Output &out)
{
    kde_output_device_v2_send_geometry(device->resource, out.x, out.y, out.physicalWidth, out.physicalHeight,
                                       KDE_OUTPUT_DEVICE_V2_SUBPIXEL_UNKNOWN, out.make.toUtf8().constData(),
                                       out.model.toUtf8().constData(), out.transform);
}

void KdeOutputServer::Private::sendCurrentMode(DeviceResource *device, const Output &out)
{
    const int current = out.announcedCurrent();
    if (out.enabled && current >= 0 && current < int(device->modes.size()))
        kde_output_device_v2_send_current_mode(device->resource, device->modes.at(current)->resource);
}

void KdeOutputServer::Private::sendAll(DeviceResource *device, const Output &out)
{
    const QByteArray name = out.name.toUtf8();
    sendGeometry(device, out);
    updateModes(device, out);
    sendCurrentMode(device, out);
    kde_output_device_v2_send_enabled(device->resource, out.enabled);
    kde_output_device_v2_send_uuid(device->resource, uuidOf(out.name).constData());
    kde_output_device_v2_send_serial_number(device->resource, out.serial.toUtf8().constData());
    kde_output_device_v2_send_eisa_id(device->resource, "VLM");
    kde_output_device_v2_send_capabilities(device->resource, 0);
    kde_output_device_v2_send_overscan(device->resource, 0);
    kde_output_device_v2_send_vrr_policy(device->resource, KDE_OUTPUT_DEVICE_V2_VRR_POLICY_NEVER);
    kde_output_device_v2_send_rgb_range(device->resource, KDE_OUTPUT_DEVICE_V2_RGB_RANGE_AUTOMATIC);
    kde_output_device_v2_send_edid(device->resource, out.edid.toBase64().constData());
    kde_output_device_v2_send_scale(device->resource, wl_fixed_from_double(out.scale));
    if (wl_resource_get_version(device->resource) >= KDE_OUTPUT_DEVICE_V2_NAME_SINCE_VERSION)
        kde_output_device_v2_send_name(device->resource, name.constData());
    kde_output_device_v2_send_done(device->resource);
}

void KdeOutputServer::Private::sendChanges(DeviceResource *device, const Output &before, const Output &out)
{
    bool changed = false;
    if (geometryDiffers(before, out)) {
        sendGeometry(device, out);
        changed = true;
    }
    const bool newModes = before.announcedModes() != out.announcedModes() || before.preferred != out.preferred;
    if (newModes) {
        updateModes(device, out);
        changed = true;
    }
    if (out.enabled && (newModes || !before.enabled || before.currentMode() != out.currentMode())) {
        sendCurrentMode(device, out);
        changed = true;
    }
    if (before.enabled != out.enabled) {
        kde_output_device_v2_send_enabled(device->resource, out.enabled);
        changed = true;
    }
    if (before.scale != out.scale) {
        kde_output_device_v2_send_scale(device->resource, wl_fixed_from_double(out.scale));
        changed = true;
    }
    if (changed)
        kde_output_device_v2_send_done(device->resource);
}

void KdeOutputServer::Private::bindDevice(wl_client *client, void *data, uint32_t version, uint32_t id)
{
    auto *device = static_cast<Device *>(data);
    auto *bound = new DeviceResource;
    bound->resource = wl_resource_create(client, &kde_output_device_v2_interface, int(version), id);
    if (!bound->resource) {
        delete bound;
        wl_client_post_no_memory(client);
        return;
    }
    wl_resource_set_implementation(bound->resource, nullptr, bound, destroyDeviceResource);
    const Output *out = device->server ? device->server->state().output(device->name) : nullptr;
    if (!out || device->destroyTimer)
        return; // bound just as it went away: the client sees the global's removal
    bound->device = device;
    device->resources.push_back(bound);
    device->server->sendAll(bound, *out);
}

void KdeOutputServer::Private::plug(const QString &name)
{
    auto *device = new Device;
    device->server = this;
    device->name = name;
    device->global = wl_global_create(compositor.display(), &kde_output_device_v2_interface,
                                      kde_output_device_v2_interface.version, device, bindDevice);
    devices.push_back(device);
}

static int destroyLater(void *data)
{
    KdeOutputServer::Private::destroyDevice(static_cast<Device *>(data));
    return 0;
}

void KdeOutputServer::Private::destroyDevice(Device *device)
{
    if (device->destroyTimer)
        wl_event_source_remove(device->destroyTimer);
    for (DeviceResource *bound : device->resources)
        bound->device = nullptr;
    wl_global_destroy(device->global);
    if (device->server)
        erase(device->server->unplugged, device);
    delete device;
}

// The global goes at once; it is destroyed later, so that a client binding it meanwhile does
// not bind a destroyed global.
void KdeOutputServer::Private::unplug(Device *device)
{
    erase(devices, device);
    unplugged.push_back(device);
    wl_global_remove(device->global);
    for (DeviceResource *bound : device->resources)
        bound->device = nullptr;
    device->resources.clear();
    device->destroyTimer = wl_event_loop_add_timer(compositor.loop(), destroyLater, device);
    wl_event_source_timer_update(device->destroyTimer, 5000);
}

// kde_output_configuration_v2

static Configuration *configurationOf(wl_resource *resource)
{
    return static_cast<Configuration *>(wl_resource_get_user_data(resource));
}

// The change for the output behind `deviceResource`; null (configuration invalid) when it is gone.
static Change *changeFor(wl_resource *resource, wl_resource *deviceResource)
{
    Configuration *configuration = configurationOf(resource);
    auto *bound = static_cast<DeviceResource *>(wl_resource_get_user_data(deviceResource));
    if (!bound->device) {
        configuration->invalid = true;
        return nullptr;
    }
    return &configuration->changes[bound->device->name];
}

static void enable(wl_client *, wl_resource *resource, wl_resource *device, int32_t enabled)
{
    if (Change *change = changeFor(resource, device))
        change->enabled = enabled != 0;
}

static void mode(wl_client *, wl_resource *resource, wl_resource *device, wl_resource *modeResource)
{
    Change *change = changeFor(resource, device);
    const auto *mode = static_cast<ModeObject *>(wl_resource_get_user_data(modeResource));
    if (!change || !mode->owner || mode->owner->resource != device) {
        configurationOf(resource)->invalid = true;
        return;
    }
    change->mode = mode->mode;
}

static void transform(wl_client *, wl_resource *resource, wl_resource *device, int32_t transform)
{
    if (Change *change = changeFor(resource, device))
        change->transform = transform;
}

static void position(wl_client *, wl_resource *resource, wl_resource *device, int32_t x, int32_t y)
{
    if (Change *change = changeFor(resource, device))
        change->position = QPoint(x, y);
}

static void scale(wl_client *, wl_resource *resource, wl_resource *device, wl_fixed_t scale)
{
    if (Change *change = changeFor(resource, device))
        change->scale = wl_fixed_to_double(scale);
}

static int answerLater(void *data)
{
    auto *configuration = static_cast<Configuration *>(data);
    wl_event_source_remove(configuration->timer);
    configuration->timer = nullptr;
    configuration->server->answer(configuration);
    return 0;
}

static void apply(wl_client *, wl_resource *resource)
{
    Configuration *configuration = configurationOf(resource);
    if (configuration->applied) {
        wl_resource_post_error(resource, KDE_OUTPUT_CONFIGURATION_V2_ERROR_ALREADY_APPLIED,
                               "configuration already applied");
        return;
    }
    configuration->applied = true;
    KdeOutputServer::Private *server = configuration->server;
    server->compositor.countRequest();
    const int delay = server->state().applyDelayMs;
    if (delay <= 0) {
        server->answer(configuration);
        return;
    }
    configuration->timer = wl_event_loop_add_timer(server->compositor.loop(), answerLater, configuration);
    wl_event_source_timer_update(configuration->timer, delay);
}

static void destroyResource(wl_client *, wl_resource *resource)
{
    wl_resource_destroy(resource);
}

static void overscan(wl_client *, wl_resource *, wl_resource *, uint32_t)
{
}

static void setVrrPolicy(wl_client *, wl_resource *, wl_resource *, uint32_t)
{
}

static void setRgbRange(wl_client *, wl_resource *, wl_resource *, uint32_t)
{
}

static void setPrimaryOutput(wl_client *, wl_resource *resource, wl_resource *device)
{
    auto *bound = static_cast<DeviceResource *>(wl_resource_get_user_data(device));
    if (bound->device)
        configurationOf(resource)->primary = bound->device->name;
    else
        configurationOf(resource)->invalid = true;
}

// Taken on apply, as KWin 5.27 takes them.
static void setPriority(wl_client *, wl_resource *resource, wl_resource *device, uint32_t priority)
{
    auto *bound = static_cast<DeviceResource *>(wl_resource_get_user_data(device));
    if (bound->device)
        configurationOf(resource)->priorities.emplace_back(bound->device->name, priority);
    else
        configurationOf(resource)->invalid = true;
}

static const struct kde_output_configuration_v2_interface configurationImplementation = {
    enable, mode, transform, position, scale, apply, destroyResource, overscan, setVrrPolicy, setRgbRange,
    setPrimaryOutput, setPriority,
};

static void destroyConfiguration(wl_resource *resource)
{
    Configuration *configuration = configurationOf(resource);
    if (configuration->timer)
        wl_event_source_remove(configuration->timer);
    delete configuration;
}

CompositorState KdeOutputServer::Private::configured(const Configuration *configuration) const
{
    CompositorState next = state();
    for (const auto &[name, change] : configuration->changes) {
        Output *out = next.output(name);
        if (!out)
            continue;
        if (change.enabled)
            out->enabled = *change.enabled;
        if (change.mode)
            out->setCurrent(*change.mode);
        if (out->enabled)
            out->ensureCurrent();
        if (change.position) {
            out->x = change.position->x();
            out->y = change.position->y();
        }
        if (change.transform)
            out->transform = *change.transform;
        if (change.scale)
            out->scale = *change.scale;
    }
    if (configuration->primary)
        next.primary = *configuration->primary;
    return next;
}

// KWin 5.27's rules: every output given a priority, those in use numbered 1, 2, ... (off ones
// are not counted); priority 1 is the primary. False when the order is refused.
bool KdeOutputServer::Private::takePriorities(const Configuration *configuration, CompositorState &next) const
{
    if (configuration->priorities.empty())
        return true;
    if (configuration->priorities.size() != size_t(next.outputs.size()))
        return false;
    std::vector<uint32_t> inUse;
    QString first;
    for (const auto &[name, priority] : configuration->priorities) {
        const Output *out = next.output(name);
        if (!out)
            return false;
        if (!out->enabled)
            continue;
        inUse.push_back(priority);
        if (priority == 1)
            first = name;
    }
    std::sort(inUse.begin(), inUse.end());
    for (size_t i = 0; i < inUse.size(); ++i) {
        if (inUse[i] != i + 1)
            return false;
    }
    next.primary = first;
    return true;
}

// The devices announce their new state before the configuration is answered applied.
void KdeOutputServer::Private::answer(Configuration *configuration)
{
    if (configuration->invalid || state().nextApply == CompositorState::Answer::Failed) {
        kde_output_configuration_v2_send_failed(configuration->resource);
        compositor.record(CompositorState::Answer::Failed);
        return;
    }
    CompositorState next = configured(configuration);
    if (!takePriorities(configuration, next)) {
        kde_output_configuration_v2_send_failed(configuration->resource);
        compositor.record(CompositorState::Answer::Failed);
        return;
    }
    QStringList named;
    for (const auto &change : configuration->changes)
        named.append(change.first);
    compositor.commit(next, &named);
    kde_output_configuration_v2_send_applied(configuration->resource);
}

// kde_output_management_v2

static void createConfiguration(wl_client *client, wl_resource *resource, uint32_t id)
{
    auto *configuration = new Configuration;
    configuration->server = static_cast<KdeOutputServer::Private *>(wl_resource_get_user_data(resource));
    configuration->resource = wl_resource_create(client, &kde_output_configuration_v2_interface,
                                                 wl_resource_get_version(resource), id);
    if (!configuration->resource) {
        delete configuration;
        wl_client_post_no_memory(client);
        return;
    }
    wl_resource_set_implementation(configuration->resource, &configurationImplementation, configuration,
                                   destroyConfiguration);
}

static const struct kde_output_management_v2_interface managementImplementation = {createConfiguration};

void KdeOutputServer::Private::bindManagement(wl_client *client, void *data, uint32_t version, uint32_t id)
{
    wl_resource *resource = wl_resource_create(client, &kde_output_management_v2_interface, int(version), id);
    if (!resource) {
        wl_client_post_no_memory(client);
        return;
    }
    wl_resource_set_implementation(resource, &managementImplementation, data, nullptr);
}

// kde_primary_output_v1

static void destroyPrimary(wl_resource *resource)
{
    if (auto *server = static_cast<KdeOutputServer::Private *>(wl_resource_get_user_data(resource)))
        erase(server->primaryResources, resource);
}

static const struct kde_primary_output_v1_interface primaryImplementation = {destroyResource};

void KdeOutputServer::Private::sendPrimary(wl_resource *resource)
{
    if (!state().primary.isEmpty())
        kde_primary_output_v1_send_primary_output(resource, state().primary.toUtf8().constData());
}

void KdeOutputServer::Private::bindPrimary(wl_client *client, void *data, uint32_t version, uint32_t id)
{
    auto *server = static_cast<Private *>(data);
    wl_resource *resource = wl_resource_create(client, &kde_primary_output_v1_interface, int(version), id);
    if (!resource) {
        wl_client_post_no_memory(client);
        return;
    }
    wl_resource_set_implementation(resource, &primaryImplementation, server, destroyPrimary);
    server->primaryResources.push_back(resource);
    server->sendPrimary(resource);
}

// kde_output_order_v1

static void destroyOrder(wl_resource *resource)
{
    if (auto *server = static_cast<KdeOutputServer::Private *>(wl_resource_get_user_data(resource)))
        erase(server->orderResources, resource);
}

static const struct kde_output_order_v1_interface orderImplementation = {destroyResource};

void KdeOutputServer::Private::sendOrder(wl_resource *resource)
{
    for (const QString &name : orderOf(state()))
        kde_output_order_v1_send_output(resource, name.toUtf8().constData());
    kde_output_order_v1_send_done(resource);
}

void KdeOutputServer::Private::bindOrder(wl_client *client, void *data, uint32_t version, uint32_t id)
{
    auto *server = static_cast<Private *>(data);
    wl_resource *resource = wl_resource_create(client, &kde_output_order_v1_interface, int(version), id);
    if (!resource) {
        wl_client_post_no_memory(client);
        return;
    }
    wl_resource_set_implementation(resource, &orderImplementation, server, destroyOrder);
    server->orderResources.push_back(resource);
    server->sendOrder(resource);
}

KdeOutputServer::KdeOutputServer(TestCompositor &compositor)
    : d(std::make_unique<Private>(compositor))
{
    wl_display *display = compositor.display();
    d->management = wl_global_create(display, &kde_output_management_v2_interface,
                                     kde_output_management_v2_interface.version, d.get(), Private::bindManagement);
    d->primary = wl_global_create(display, &kde_primary_output_v1_interface,
                                  kde_primary_output_v1_interface.version, d.get(), Private::bindPrimary);
    d->order = wl_global_create(display, &kde_output_order_v1_interface, kde_output_order_v1_interface.version,
                                d.get(), Private::bindOrder);
    for (const Output &out : compositor.state().outputs)
        d->plug(out.name);
}

KdeOutputServer::~KdeOutputServer()
{
    for (wl_resource *resource : d->primaryResources)
        wl_resource_set_user_data(resource, nullptr);
    for (wl_resource *resource : d->orderResources)
        wl_resource_set_user_data(resource, nullptr);
    const std::vector<Device *> all = [this] {
        std::vector<Device *> list = d->devices;
        list.insert(list.end(), d->unplugged.begin(), d->unplugged.end());
        return list;
    }();
    for (Device *device : all) {
        device->server = nullptr;
        Private::destroyDevice(device);
    }
    wl_global_destroy(d->management);
    wl_global_destroy(d->primary);
    wl_global_destroy(d->order);
}

void KdeOutputServer::publish(const CompositorState &before)
{
    const CompositorState &state = d->state();
    const std::vector<Device *> devices = d->devices;
    for (Device *device : devices) {
        const Output *out = state.output(device->name);
        if (!out) {
            d->unplug(device);
            continue;
        }
        const Output *old = before.output(device->name);
        if (!old)
            continue;
        for (DeviceResource *bound : device->resources)
            d->sendChanges(bound, *old, *out);
    }
    for (const Output &out : state.outputs) {
        if (!before.output(out.name))
            d->plug(out.name);
    }
    if (state.primary != before.primary) {
        for (wl_resource *resource : d->primaryResources)
            d->sendPrimary(resource);
    }
    if (orderOf(state) != orderOf(before)) {
        for (wl_resource *resource : d->orderResources)
            d->sendOrder(resource);
    }
}
