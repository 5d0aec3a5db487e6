#include "WlrOutputServer.h"

#include "TestCompositor.h"

#include "wlr-output-management-unstable-v1-server-protocol.h"

#include <QPoint>

#include <algorithm>
#include <vector>

using Mode = CompositorState::Mode;
using Output = CompositorState::Output;

namespace {
struct Manager;
struct Head;

struct ModeObject
{
    wl_resource *resource = nullptr;
    Head *head = nullptr; // null once finished
    Mode mode;
    int index = 0; // in the head's announced list
};

struct Head
{
    wl_resource *resource = nullptr;
    Manager *manager = nullptr; // null once finished or the manager is gone
    QString name;
    std::vector<ModeObject *> modes;
};

struct Manager
{
    wl_resource *resource = nullptr;
    WlrOutputServer::Private *server = nullptr;
    std::vector<Head *> heads;
};

struct Configuration;

struct ConfigurationHead
{
    wl_resource *resource = nullptr; // null for a disabled head, or once the client dropped it
    Configuration *configuration = nullptr;
    QString name;
    bool enabled = false;
    std::optional<Mode> mode;
    int modeIndex = -1;
    bool custom = false;
    std::optional<QPoint> position;
    std::optional<int> transform;
    std::optional<double> scale;
};

struct Configuration
{
    wl_resource *resource = nullptr;
    WlrOutputServer::Private *server = nullptr;
    uint32_t serial = 0;
    bool used = false;
    std::vector<std::unique_ptr<ConfigurationHead>> heads;
    wl_event_source *timer = nullptr;

    bool names(const QString &head) const
    {
        return std::any_of(heads.begin(), heads.end(), [&](const auto &h) { return h->name == head; });
    }
    bool usesCustomMode() const
    {
        return std::any_of(heads.begin(), heads.end(), [](const auto &h) { return h->custom; });
    }
};

template<typename T>
void erase(std::vector<T *> &list, T *item)
{
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

// What a client sees of an output differs.
bool modesDiffer(const Output &a, const Output &b)
{
    return a.announcedModes() != b.announcedModes() || a.preferred != b.preferred;
}

bool differs(const Output &a, const Output &b)
{
    if (modesDiffer(a, b) || a.enabled != b.enabled)
        return true;
    return b.enabled
        && (a.announcedCurrent() != b.announcedCurrent() || a.x != b.x || a.y != b.y
            || a.transform != b.transform || a.scale != b.scale);
}
} // namespace

struct WlrOutputServer::Private
{
    TestCompositor &compositor;
    wl_global *global = nullptr;
    std::vector<Manager *> managers;
    uint32_t serial = 0;

    explicit Private(TestCompositor &c)
        : compositor(c)
    {
    }

    const CompositorState &state() const { return compositor.state(); }

    static void bind(wl_client *client, void *data, uint32_t version, uint32_t id);
    void announceHead(Manager *manager, const Output &out);
    void announceModes(Head *head, const Output &out);
    void finishModes(Head *head);
    void finishHead(Head *head);
    void sendCurrentMode(Head *head, const Output &out);
    void sendChanges(Head *head, const Output &before, const Output &out);
    void sendDone();
    void answer(Configuration *configuration);
    bool checkAllNamed(Configuration *configuration);
    CompositorState configured(const Configuration *configuration) const;
};

// Resource life: each object unlinks itself from its parent and detaches its children, whatever
// order the client's objects go in.
static void destroyMode(wl_resource *resource)
{
    auto *mode = static_cast<ModeObject *>(wl_resource_get_user_data(resource));
    if (mode->head)
        erase(mode->head->modes, mode);
    delete mode;
}

static void destroyHead(wl_resource *resource)
{
    auto *head = static_cast<Head *>(wl_resource_get_user_data(resource));
    for (ModeObject *mode : head->modes)
        mode->head = nullptr;
    if (head->manager)
        erase(head->manager->heads, head);
    delete head;
}

static void destroyManager(wl_resource *resource)
{
    auto *manager = static_cast<Manager *>(wl_resource_get_user_data(resource));
    for (Head *head : manager->heads)
        head->manager = nullptr;
    if (manager->server)
        erase(manager->server->managers, manager);
    delete manager;
}

static void destroyConfigurationHead(wl_resource *resource)
{
    if (auto *head = static_cast<ConfigurationHead *>(wl_resource_get_user_data(resource)))
        head->resource = nullptr;
}

static void destroyConfiguration(wl_resource *resource)
{
    auto *configuration = static_cast<Configuration *>(wl_resource_get_user_data(resource));
    if (configuration->timer)
        wl_event_source_remove(configuration->timer);
    for (const auto &head : configuration->heads) {
        if (head->resource)
            wl_resource_set_user_data(head->resource, nullptr);
    }
    delete configuration;
}

// zwlr_output_configuration_head_v1

static ConfigurationHead *settable(wl_resource *resource)
{
    auto *head = static_cast<ConfigurationHead *>(wl_resource_get_user_data(resource));
    if (!head)
        return nullptr;
    if (head->configuration->used) {
        wl_resource_post_error(head->configuration->resource, ZWLR_OUTPUT_CONFIGURATION_V1_ERROR_ALREADY_USED,
                               "configuration already applied or tested");
        return nullptr;
    }
    return head;
}

static void alreadySet(wl_resource *resource, const char *property)
{
    wl_resource_post_error(resource, ZWLR_OUTPUT_CONFIGURATION_HEAD_V1_ERROR_ALREADY_SET, "%s already set",
                           property);
}

static void setMode(wl_client *, wl_resource *resource, wl_resource *modeResource)
{
    ConfigurationHead *head = settable(resource);
    if (!head)
        return;
    if (head->mode) {
        alreadySet(resource, "mode");
        return;
    }
    auto *mode = static_cast<ModeObject *>(wl_resource_get_user_data(modeResource));
    if (!mode->head)
        return; // finished: the serial is old, the configuration is answered cancelled
    if (mode->head->name != head->name
        || wl_resource_get_client(modeResource) != wl_resource_get_client(resource)) {
        wl_resource_post_error(resource, ZWLR_OUTPUT_CONFIGURATION_HEAD_V1_ERROR_INVALID_MODE,
                               "mode is not one of %s", qPrintable(head->name));
        return;
    }
    head->mode = mode->mode;
    head->modeIndex = mode->index;
}

static void setCustomMode(wl_client *, wl_resource *resource, int32_t width, int32_t height, int32_t refresh)
{
    ConfigurationHead *head = settable(resource);
    if (!head)
        return;
    if (head->mode) {
        alreadySet(resource, "mode");
        return;
    }
    if (width <= 0 || height <= 0 || refresh < 0) {
        wl_resource_post_error(resource, ZWLR_OUTPUT_CONFIGURATION_HEAD_V1_ERROR_INVALID_CUSTOM_MODE,
                               "custom mode %dx%d@%d", width, height, refresh);
        return;
    }
    head->mode = Mode{width, height, refresh};
    head->custom = true;
}

static void setPosition(wl_client *, wl_resource *resource, int32_t x, int32_t y)
{
    ConfigurationHead *head = settable(resource);
    if (!head)
        return;
    if (head->position) {
        alreadySet(resource, "position");
        return;
    }
    head->position = QPoint(x, y);
}

static void setTransform(wl_client *, wl_resource *resource, int32_t transform)
{
    ConfigurationHead *head = settable(resource);
    if (!head)
        return;
    if (head->transform) {
        alreadySet(resource, "transform");
        return;
    }
    if (transform < 0 || transform > 7) {
        wl_resource_post_error(resource, ZWLR_OUTPUT_CONFIGURATION_HEAD_V1_ERROR_INVALID_TRANSFORM,
                               "transform %d", transform);
        return;
    }
    head->transform = transform;
}

static void setScale(wl_client *, wl_resource *resource, wl_fixed_t scale)
{
    ConfigurationHead *head = settable(resource);
    if (!head)
        return;
    if (head->scale) {
        alreadySet(resource, "scale");
        return;
    }
    if (scale <= 0) {
        wl_resource_post_error(resource, ZWLR_OUTPUT_CONFIGURATION_HEAD_V1_ERROR_INVALID_SCALE, "scale %f",
                               wl_fixed_to_double(scale));
        return;
    }
    head->scale = wl_fixed_to_double(scale);
}

static const struct zwlr_output_configuration_head_v1_interface configurationHeadImplementation = {
    setMode, setCustomMode, setPosition, setTransform, setScale,
};

// zwlr_output_configuration_v1

// The configuration when it may still name `headResource`'s head; else null, with the error posted.
static Configuration *configurable(wl_resource *resource, wl_resource *headResource)
{
    auto *configuration = static_cast<Configuration *>(wl_resource_get_user_data(resource));
    if (configuration->used) {
        wl_resource_post_error(resource, ZWLR_OUTPUT_CONFIGURATION_V1_ERROR_ALREADY_USED,
                               "configuration already applied or tested");
        return nullptr;
    }
    const auto *head = static_cast<Head *>(wl_resource_get_user_data(headResource));
    if (configuration->names(head->name)) {
        wl_resource_post_error(resource, ZWLR_OUTPUT_CONFIGURATION_V1_ERROR_ALREADY_CONFIGURED_HEAD,
                               "%s configured twice", qPrintable(head->name));
        return nullptr;
    }
    return configuration;
}

static void enableHead(wl_client *client, wl_resource *resource, uint32_t id, wl_resource *headResource)
{
    Configuration *configuration = configurable(resource, headResource);
    if (!configuration)
        return;
    auto head = std::make_unique<ConfigurationHead>();
    head->configuration = configuration;
    head->name = static_cast<Head *>(wl_resource_get_user_data(headResource))->name;
    head->enabled = true;
    head->resource = wl_resource_create(client, &zwlr_output_configuration_head_v1_interface,
                                        wl_resource_get_version(resource), id);
    if (!head->resource) {
        wl_client_post_no_memory(client);
        return;
    }
    wl_resource_set_implementation(head->resource, &configurationHeadImplementation, head.get(),
                                   destroyConfigurationHead);
    configuration->heads.push_back(std::move(head));
}

static void disableHead(wl_client *, wl_resource *resource, wl_resource *headResource)
{
    Configuration *configuration = configurable(resource, headResource);
    if (!configuration)
        return;
    auto head = std::make_unique<ConfigurationHead>();
    head->configuration = configuration;
    head->name = static_cast<Head *>(wl_resource_get_user_data(headResource))->name;
    configuration->heads.push_back(std::move(head));
}

// Marks the configuration used; false (error posted) when it already was.
static bool use(Configuration *configuration)
{
    if (configuration->used) {
        wl_resource_post_error(configuration->resource, ZWLR_OUTPUT_CONFIGURATION_V1_ERROR_ALREADY_USED,
                               "configuration already applied or tested");
        return false;
    }
    configuration->used = true;
    return true;
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
    auto *configuration = static_cast<Configuration *>(wl_resource_get_user_data(resource));
    if (!use(configuration))
        return;
    WlrOutputServer::Private *server = configuration->server;
    server->compositor.countRequest();
    if (!server->checkAllNamed(configuration))
        return;
    const int delay = server->state().applyDelayMs;
    if (delay <= 0) {
        server->answer(configuration);
        return;
    }
    configuration->timer = wl_event_loop_add_timer(server->compositor.loop(), answerLater, configuration);
    wl_event_source_timer_update(configuration->timer, delay);
}

static void test(wl_client *, wl_resource *resource)
{
    auto *configuration = static_cast<Configuration *>(wl_resource_get_user_data(resource));
    if (!use(configuration))
        return;
    WlrOutputServer::Private *server = configuration->server;
    if (configuration->serial != server->serial) {
        zwlr_output_configuration_v1_send_cancelled(resource);
        return;
    }
    if (!server->checkAllNamed(configuration))
        return;
    const bool refused = server->state().nextApply == CompositorState::Answer::Failed
        || (configuration->usesCustomMode() && !server->state().customModes);
    if (refused)
        zwlr_output_configuration_v1_send_failed(resource);
    else
        zwlr_output_configuration_v1_send_succeeded(resource);
}

static void destroyResource(wl_client *, wl_resource *resource)
{
    wl_resource_destroy(resource);
}

static const struct zwlr_output_configuration_v1_interface configurationImplementation = {
    enableHead, disableHead, apply, test, destroyResource,
};

// zwlr_output_manager_v1

static void createConfiguration(wl_client *client, wl_resource *resource, uint32_t id, uint32_t serial)
{
    auto *manager = static_cast<Manager *>(wl_resource_get_user_data(resource));
    auto *configuration = new Configuration;
    configuration->server = manager->server;
    configuration->serial = serial;
    configuration->resource = wl_resource_create(client, &zwlr_output_configuration_v1_interface,
                                                 wl_resource_get_version(resource), id);
    if (!configuration->resource) {
        delete configuration;
        wl_client_post_no_memory(client);
        return;
    }
    wl_resource_set_implementation(configuration->resource, &configurationImplementation, configuration,
                                   destroyConfiguration);
}

static void stop(wl_client *, wl_resource *resource)
{
    zwlr_output_manager_v1_send_finished(resource);
    wl_resource_destroy(resource);
}

static const struct zwlr_output_manager_v1_interface managerImplementation = {createConfiguration, stop};

void WlrOutputServer::Private::bind(wl_client *client, void *data, uint32_t version, uint32_t id)
{
    auto *server = static_cast<Private *>(data);
    auto *manager = new Manager;
    manager->server = server;
    manager->resource = wl_resource_create(client, &zwlr_output_manager_v1_interface, int(version), id);
    if (!manager->resource) {
        delete manager;
        wl_client_post_no_memory(client);
        return;
    }
    wl_resource_set_implementation(manager->resource, &managerImplementation, manager, destroyManager);
    server->managers.push_back(manager);
    for (const Output &out : server->state().outputs)
        server->announceHead(manager, out);
    zwlr_output_manager_v1_send_done(manager->resource, server->serial);
}

void WlrOutputServer::Private::announceModes(Head *head, const Output &out)
{
    wl_client *client = wl_resource_get_client(head->resource);
    const QList<Mode> modes = out.announcedModes();
    for (int i = 0; i < modes.size(); ++i) {
        auto *mode = new ModeObject{nullptr, head, modes.at(i), i};
        mode->resource = wl_resource_create(client, &zwlr_output_mode_v1_interface,
                                            wl_resource_get_version(head->resource), 0);
        if (!mode->resource) {
            delete mode;
            wl_client_post_no_memory(client);
            return;
        }
        wl_resource_set_implementation(mode->resource, nullptr, mode, destroyMode);
        head->modes.push_back(mode);
        zwlr_output_head_v1_send_mode(head->resource, mode->resource);
        zwlr_output_mode_v1_send_size(mode->resource, mode->mode.width, mode->mode.height);
        if (mode->mode.refresh > 0)
            zwlr_output_mode_v1_send_refresh(mode->resource, mode->mode.refresh);
        if (i == out.preferred)
            zwlr_output_mode_v1_send_preferred(mode->resource);
    }
}

void WlrOutputServer::Private::sendCurrentMode(Head *head, const Output &out)
{
    const int current = out.announcedCurrent();
    if (current >= 0 && current < int(head->modes.size()))
        zwlr_output_head_v1_send_current_mode(head->resource, head->modes.at(current)->resource);
}

void WlrOutputServer::Private::announceHead(Manager *manager, const Output &out)
{
    wl_client *client = wl_resource_get_client(manager->resource);
    const int version = wl_resource_get_version(manager->resource);
    auto *head = new Head;
    head->manager = manager;
    head->name = out.name;
    head->resource = wl_resource_create(client, &zwlr_output_head_v1_interface, version, 0);
    if (!head->resource) {
        delete head;
        wl_client_post_no_memory(client);
        return;
    }
    wl_resource_set_implementation(head->resource, nullptr, head, destroyHead);
    manager->heads.push_back(head);
    zwlr_output_manager_v1_send_head(manager->resource, head->resource);
    const QByteArray name = out.name.toUtf8();
    zwlr_output_head_v1_send_name(head->resource, name.constData());
    zwlr_output_head_v1_send_description(head->resource, ("Velmora test output " + name).constData());
    if (out.physicalWidth > 0 && out.physicalHeight > 0)
        zwlr_output_head_v1_send_physical_size(head->resource, out.physicalWidth, out.physicalHeight);
    if (version >= ZWLR_OUTPUT_HEAD_V1_MAKE_SINCE_VERSION) {
        zwlr_output_head_v1_send_make(head->resource, out.make.toUtf8().constData());
        zwlr_output_head_v1_send_model(head->resource, out.model.toUtf8().constData());
        zwlr_output_head_v1_send_serial_number(head->resource, out.serial.toUtf8().constData());
    }
    announceModes(head, out);
    zwlr_output_head_v1_send_enabled(head->resource, out.enabled);
    if (out.enabled) {
        sendCurrentMode(head, out);
        zwlr_output_head_v1_send_position(head->resource, out.x, out.y);
        zwlr_output_head_v1_send_transform(head->resource, out.transform);
        zwlr_output_head_v1_send_scale(head->resource, wl_fixed_from_double(out.scale));
    }
}

// Finished objects stay, inert, until the client goes: libwayland hands a destroyed server-side id
// out again at once, and a client that still holds the old object when it reads the event that
// reuses the id fails with an invalid new id.
void WlrOutputServer::Private::finishModes(Head *head)
{
    for (ModeObject *mode : head->modes) {
        zwlr_output_mode_v1_send_finished(mode->resource);
        mode->head = nullptr;
    }
    head->modes.clear();
}

void WlrOutputServer::Private::finishHead(Head *head)
{
    finishModes(head);
    zwlr_output_head_v1_send_finished(head->resource);
    if (head->manager)
        erase(head->manager->heads, head);
    head->manager = nullptr;
}

// Only what changed; a mode list that differs in any way is announced anew.
void WlrOutputServer::Private::sendChanges(Head *head, const Output &before, const Output &out)
{
    const bool newModes = modesDiffer(before, out);
    if (newModes) {
        finishModes(head);
        announceModes(head, out);
    }
    if (before.enabled != out.enabled)
        zwlr_output_head_v1_send_enabled(head->resource, out.enabled);
    if (!out.enabled)
        return;
    // Position, transform and scale are not sent for a disabled head: a head switched on has
    // them all anew.
    const bool switchedOn = !before.enabled;
    if (switchedOn || newModes || before.announcedCurrent() != out.announcedCurrent())
        sendCurrentMode(head, out);
    if (switchedOn || before.x != out.x || before.y != out.y)
        zwlr_output_head_v1_send_position(head->resource, out.x, out.y);
    if (switchedOn || before.transform != out.transform)
        zwlr_output_head_v1_send_transform(head->resource, out.transform);
    if (switchedOn || before.scale != out.scale)
        zwlr_output_head_v1_send_scale(head->resource, wl_fixed_from_double(out.scale));
}

void WlrOutputServer::Private::sendDone()
{
    serial = wl_display_next_serial(compositor.display());
    for (Manager *manager : managers)
        zwlr_output_manager_v1_send_done(manager->resource, serial);
}

bool WlrOutputServer::Private::checkAllNamed(Configuration *configuration)
{
    // A client with an old serial may not know every head; it is answered cancelled instead.
    if (configuration->serial != serial)
        return true;
    for (const Output &out : state().outputs) {
        if (!configuration->names(out.name)) {
            wl_resource_post_error(configuration->resource, ZWLR_OUTPUT_CONFIGURATION_V1_ERROR_UNCONFIGURED_HEAD,
                                   "%s not configured", qPrintable(out.name));
            return false;
        }
    }
    return true;
}

CompositorState WlrOutputServer::Private::configured(const Configuration *configuration) const
{
    CompositorState next = state();
    for (const auto &head : configuration->heads) {
        Output *out = next.output(head->name);
        if (!out)
            continue;
        out->enabled = head->enabled;
        if (!head->enabled)
            continue;
        if (head->mode) {
            if (head->modeIndex >= 0 && head->modeIndex < out->modes.size()
                && out->modes.at(head->modeIndex) == *head->mode) {
                out->current = head->modeIndex;
                out->custom.reset();
            } else {
                out->setCurrent(*head->mode);
            }
        }
        out->ensureCurrent();
        if (head->position) {
            out->x = head->position->x();
            out->y = head->position->y();
        }
        if (head->transform)
            out->transform = *head->transform;
        if (head->scale)
            out->scale = *head->scale;
    }
    return next;
}

void WlrOutputServer::Private::answer(Configuration *configuration)
{
    wl_resource *resource = configuration->resource;
    using Answer = CompositorState::Answer;
    if (compositor.takeStaleOnce()) {
        // As if the outputs had changed just before the configuration arrived.
        sendDone();
        zwlr_output_configuration_v1_send_cancelled(resource);
        compositor.record(Answer::Cancelled);
        return;
    }
    Answer answer = state().nextApply;
    if (configuration->serial != serial)
        answer = Answer::Cancelled;
    else if (answer == Answer::Succeeded && configuration->usesCustomMode() && !state().customModes)
        answer = Answer::Failed;
    if (answer == Answer::Cancelled) {
        zwlr_output_configuration_v1_send_cancelled(resource);
        compositor.record(answer);
    } else if (answer == Answer::Failed) {
        zwlr_output_configuration_v1_send_failed(resource);
        compositor.record(answer);
    } else {
        QStringList heads;
        for (const auto &head : configuration->heads)
            heads.append(head->name);
        zwlr_output_configuration_v1_send_succeeded(resource);
        compositor.commit(configured(configuration), &heads);
    }
    if (state().doneAfterAnswer)
        sendDone();
}

WlrOutputServer::WlrOutputServer(TestCompositor &compositor)
    : d(std::make_unique<Private>(compositor))
{
    d->serial = wl_display_next_serial(compositor.display());
    d->global = wl_global_create(compositor.display(), &zwlr_output_manager_v1_interface,
                                 zwlr_output_manager_v1_interface.version, d.get(), &Private::bind);
}

WlrOutputServer::~WlrOutputServer()
{
    for (Manager *manager : d->managers)
        manager->server = nullptr;
    wl_global_destroy(d->global);
}

void WlrOutputServer::publish(const CompositorState &before)
{
    const CompositorState &state = d->state();
    bool changed = false;
    for (const Output &old : before.outputs) {
        if (!state.output(old.name))
            changed = true;
    }
    for (const Output &out : state.outputs) {
        const Output *old = before.output(out.name);
        if (!old || differs(*old, out))
            changed = true;
    }
    if (!changed)
        return;
    for (Manager *manager : d->managers) {
        const std::vector<Head *> heads = manager->heads;
        for (Head *head : heads) {
            const Output *out = state.output(head->name);
            const Output *old = before.output(head->name);
            if (!out)
                d->finishHead(head);
            else if (old)
                d->sendChanges(head, *old, *out);
        }
        for (const Output &out : state.outputs) {
            if (!before.output(out.name))
                d->announceHead(manager, out);
        }
    }
    d->sendDone();
}
