#include "GnomeDisplayBackend.h"

#include "MonitorIdentity.h"
#include "RefreshRate.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDebug>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QVariantMap>

#include <algorithm>
#include <cmath>
#include <thread>
#include <utility>

namespace {

const char *const Path = "/org/gnome/Mutter/DisplayConfig";
const char *const Interface = "org.gnome.Mutter.DisplayConfig";
// Long enough for a nested Mutter busy with the previous change; a vanished service answers
// at once through the bus anyway.
const int CallTimeoutMs = 3000;
// How long after a call that timed out the next ones first check, briefly, that Mutter answers
// at all: the calls of one action, which follow each other within milliseconds.
const int StalledMs = 5000;
const int ProbeTimeoutMs = 250;
// Mutter's layout modes: sizes in the layout are mode size / scale, or the mode size itself.
const uint LayoutLogical = 1;
// ApplyMonitorsConfig's method 1: a temporary configuration, which GNOME does not store. Mutter
// checks a configuration whole before it touches a monitor, for this method as for method 0
// (verify): a layout it rejects is refused untouched, so there is nothing to check first.
const uint MethodTemporary = 1;
// What GetCurrentState reports of a monitor that ApplyMonitorsConfig sets, and the name it goes
// by there. Left out of a request, Mutter resets it (underscanning off, colour mode and RGB
// range to their defaults), so a monitor is sent back with every one Mutter reported.
const char *const SettableProperties[][2] = {
    {"is-underscanning", "underscanning"},
    {"color-mode", "color-mode"},
    {"rgb-range", "rgb-range"},
};

// One monitor in an ApplyMonitorsConfig request: connector, mode id, properties.
struct MonitorAssignment
{
    QString connector;
    QString mode;
    QVariantMap properties;
};

// One logical monitor in an ApplyMonitorsConfig request.
struct LogicalAssignment
{
    int x = 0;
    int y = 0;
    double scale = 1.0;
    uint transform = 0;
    bool primary = false;
    QList<MonitorAssignment> monitors;
};

} // namespace

Q_DECLARE_METATYPE(MonitorAssignment)
Q_DECLARE_METATYPE(LogicalAssignment)

namespace {

QDBusArgument &operator<<(QDBusArgument &arg, const MonitorAssignment &m)
{
    arg.beginStructure();
    arg << m.connector << m.mode << m.properties;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, MonitorAssignment &m)
{
    arg.beginStructure();
    arg >> m.connector >> m.mode >> m.properties;
    arg.endStructure();
    return arg;
}

QDBusArgument &operator<<(QDBusArgument &arg, const LogicalAssignment &l)
{
    arg.beginStructure();
    arg << l.x << l.y << l.scale << l.transform << l.primary << l.monitors;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, LogicalAssignment &l)
{
    arg.beginStructure();
    arg >> l.x >> l.y >> l.scale >> l.transform >> l.primary >> l.monitors;
    arg.endStructure();
    return arg;
}

void registerTypes()
{
    static const bool done = [] {
        qDBusRegisterMetaType<MonitorAssignment>();
        qDBusRegisterMetaType<QList<MonitorAssignment>>();
        qDBusRegisterMetaType<LogicalAssignment>();
        qDBusRegisterMetaType<QList<LogicalAssignment>>();
        return true;
    }();
    (void)done;
}

bool sameScale(double a, double b) { return std::fabs(a - b) < 1e-4; }

QDBusMessage methodCall(const char *method)
{
    QDBusMessage m = QDBusMessage::createMethodCall(QString::fromLatin1(GnomeDisplayBackend::Service),
                                                    QString::fromLatin1(Path), QString::fromLatin1(Interface),
                                                    QString::fromLatin1(method));
    // Never start a compositor through bus activation just to ask it something.
    m.setAutoStartService(false);
    return m;
}

} // namespace

const char *const GnomeDisplayBackend::Service = "org.gnome.Mutter.DisplayConfig";

struct GnomeDisplayBackend::State
{
    struct Mode
    {
        QString id;
        int width = 0;
        int height = 0;
        double refresh = 0;
        double preferredScale = 1.0;
        QList<double> scales;
        bool current = false;

        DisplayMode values() const { return {width, height, 32, RefreshRate::wholeHz(refresh)}; }
        bool supports(double scale) const
        {
            return std::any_of(scales.cbegin(), scales.cend(), [scale](double s) { return sameScale(s, scale); });
        }
        // The scale stays where this mode supports it, else it is this mode's preferred one.
        double scaleKeeping(double scale) const { return supports(scale) ? scale : preferredScale; }
    };
    struct Monitor
    {
        QString connector;
        QString vendor;
        QString product;
        QString serial;
        QString displayName; // Mutter's name for people, when it gives one
        QList<Mode> modes;
        // What Mutter reported of SettableProperties, under ApplyMonitorsConfig's names.
        QVariantMap settable;
        int currentMode() const
        {
            for (int i = 0; i < modes.size(); ++i) {
                if (modes[i].current)
                    return i;
            }
            return -1;
        }
        std::vector<DisplayMode> modeValues() const
        {
            std::vector<DisplayMode> values;
            for (const Mode &mode : modes)
                values.push_back(mode.values());
            return values;
        }
        // A mirror shows the same picture: its mode is the first of that size, else the one
        // in use.
        int mirrorOf(const Mode &mode) const
        {
            for (int i = 0; i < modes.size(); ++i) {
                if (modes[i].width == mode.width && modes[i].height == mode.height)
                    return i;
            }
            return currentMode();
        }
    };
    struct Logical
    {
        int x = 0;
        int y = 0;
        double scale = 1.0;
        uint transform = 0;
        bool primary = false;
        QStringList connectors;
    };

    uint serial = 0;
    QList<Monitor> monitors;
    QList<Logical> logicals;
    uint layoutMode = 2;
    bool layoutModeChangeable = false;
    bool globalScaleRequired = false;

    const Monitor *monitor(const QString &connector) const
    {
        for (const Monitor &m : monitors) {
            if (m.connector == connector)
                return &m;
        }
        return nullptr;
    }
    int logicalOf(const QString &connector) const
    {
        for (int i = 0; i < logicals.size(); ++i) {
            if (logicals[i].connectors.contains(connector))
                return i;
        }
        return -1;
    }
    // The size a monitor in `mode` takes in the layout.
    QSize layoutSize(const Mode &mode, double scale, uint transform) const
    {
        int w = mode.width;
        int h = mode.height;
        if (layoutMode == LayoutLogical && scale > 0) {
            w = int(std::lround(w / scale));
            h = int(std::lround(h / scale));
        }
        // Odd transforms (90, 270, and their flipped forms) turn the monitor sideways.
        if (transform % 2 == 1)
            std::swap(w, h);
        return QSize(w, h);
    }
    // Where logical monitor `i` lies in the layout now.
    QRect extent(int i) const
    {
        const Logical &l = logicals[i];
        const Monitor *m = l.connectors.isEmpty() ? nullptr : monitor(l.connectors.first());
        const int inUse = m ? m->currentMode() : -1;
        if (inUse < 0)
            return QRect(l.x, l.y, 0, 0);
        return QRect(QPoint(l.x, l.y), layoutSize(m->modes[inUse], l.scale, l.transform));
    }

    // Where every logical monitor goes once logical monitor i has sizes[i]. The right and
    // bottom edges of those that change size move; what touches such an edge along a stretch
    // moves with it, and so on from there. Nothing else moves: what merely lies further right
    // or below would otherwise come to overlap or leave a gap, and Mutter takes neither. The
    // `placed` ones are put where the caller says: they neither follow nor take others along.
    QList<QPoint> placesAfterResize(const QList<QSize> &sizes, const QList<bool> &placed) const
    {
        QList<QRect> rects;
        for (int i = 0; i < logicals.size(); ++i)
            rects.append(extent(i));
        const QList<int> dx = shifts(rects, sizes, placed, Qt::Horizontal);
        const QList<int> dy = shifts(rects, sizes, placed, Qt::Vertical);
        QList<QPoint> places;
        for (int i = 0; i < rects.size(); ++i)
            places.append(rects[i].topLeft() + QPoint(dx[i], dy[i]));
        return places;
    }

    // How far each rectangle moves with the right (Horizontal) or bottom (Vertical) edges that
    // move. Taken in order along the axis, so a rectangle's own move is known before the ones
    // touching it take it on. One touching several moving edges goes with the furthest: it
    // overlaps none of them then.
    static QList<int> shifts(const QList<QRect> &rects, const QList<QSize> &sizes, const QList<bool> &placed,
                             Qt::Orientation edge)
    {
        const bool horizontal = edge == Qt::Horizontal;
        QList<int> order;
        for (int i = 0; i < rects.size(); ++i)
            order.append(i);
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
            return horizontal ? rects[a].x() < rects[b].x() : rects[a].y() < rects[b].y();
        });
        QList<int> shift(rects.size(), 0);
        QList<bool> moves(rects.size(), false);
        for (int i : order) {
            const QRect &o = rects[i];
            for (int from = 0; !placed[i] && from < rects.size(); ++from) {
                const QRect &r = rects[from];
                if (from == i || placed[from] || (!moves[from] && sizes[from] == r.size()))
                    continue;
                const bool touches = horizontal
                    ? o.x() == r.x() + r.width() && o.y() < r.y() + r.height() && r.y() < o.y() + o.height()
                    : o.y() == r.y() + r.height() && o.x() < r.x() + r.width() && r.x() < o.x() + o.width();
                if (!touches)
                    continue;
                const int grown = horizontal ? sizes[from].width() - r.width() : sizes[from].height() - r.height();
                const int along = shift[from] + grown;
                shift[i] = moves[i] ? std::max(shift[i], along) : along;
                moves[i] = true;
            }
        }
        return shift;
    }

    // Every monitor as the program sees it: Active in a logical monitor with its mode in use,
    // Off when in none.
    std::vector<DisplayOutput> outputs() const
    {
        std::vector<DisplayOutput> list;
        for (const Monitor &m : monitors) {
            DisplayOutput out;
            out.name = m.connector.toStdString();
            MonitorIdentity::fromNames(known(m.vendor), known(m.product), known(m.serial), out);
            if (!m.displayName.isEmpty())
                out.label = m.displayName.toStdString();
            const int logical = logicalOf(m.connector);
            // A mirror of the primary monitor is not a second primary.
            out.primary = logical >= 0 && logicals[logical].primary
                && logicals[logical].connectors.first() == m.connector;
            if (logical >= 0) {
                const Logical &l = logicals[logical];
                out.x = l.x;
                out.y = l.y;
                out.transform = int(l.transform);
                out.scale = l.scale;
            }
            const int inUse = m.currentMode();
            if (logical < 0) {
                out.state = DisplayOutput::State::Off;
            } else if (inUse < 0) {
                out.state = DisplayOutput::State::Unreadable;
            } else {
                out.state = DisplayOutput::State::Active;
                out.current = m.modes[inUse].values();
            }
            list.push_back(out);
        }
        return list;
    }

    // Mutter says "unknown" for what the monitor does not tell.
    static std::string known(const QString &name)
    {
        return name == QLatin1String("unknown") ? std::string() : name.toStdString();
    }
};

// ApplyMonitorsConfig's arguments.
struct GnomeDisplayBackend::Request
{
    uint serial = 0;
    QList<LogicalAssignment> config;
    QVariantMap properties;
};

GnomeDisplayBackend::GnomeDisplayBackend(const QDBusConnection &connection)
    : bus(connection)
{
    registerTypes();
    bus.connect(QString::fromLatin1(Service), QString::fromLatin1(Path), QString::fromLatin1(Interface),
                QStringLiteral("MonitorsChanged"), this, SLOT(onMonitorsChanged()));
    auto *watcher = new QDBusServiceWatcher(QString::fromLatin1(Service), bus,
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &GnomeDisplayBackend::onOwnerChanged);
}

GnomeDisplayBackend::~GnomeDisplayBackend()
{
    bus.disconnect(QString::fromLatin1(Service), QString::fromLatin1(Path), QString::fromLatin1(Interface),
                   QStringLiteral("MonitorsChanged"), this, SLOT(onMonitorsChanged()));
}

bool GnomeDisplayBackend::serviceRegistered(const QDBusConnection &bus)
{
    if (!bus.isConnected() || !bus.interface())
        return false;
    const QDBusReply<bool> reply = bus.interface()->isServiceRegistered(QString::fromLatin1(Service));
    return reply.isValid() && reply.value();
}

QDBusMessage GnomeDisplayBackend::exchange(const QDBusMessage &message)
{
    ++calls;
    // Mutter did not answer a moment ago: asking again with the full time-out would only add
    // another to the first (a trial makes several calls in a row, on the GUI thread). A quick
    // read tells a stalled Mutter from one that answered one call late.
    if (std::chrono::steady_clock::now() < stalledUntil) {
        const QDBusMessage probe = bus.call(methodCall("GetCurrentState"), QDBus::Block, ProbeTimeoutMs);
        if (probe.type() != QDBusMessage::ReplyMessage)
            return message.createErrorReply(QDBusError::NoReply, QStringLiteral("Mutter does not answer"));
        stalledUntil = {};
    }
    const QDBusMessage reply = bus.call(message, QDBus::Block, CallTimeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage && (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")
                                                      || reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.Timeout")))
        stalledUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(StalledMs);
    return reply;
}

bool GnomeDisplayBackend::readState(State &state)
{
    const QDBusMessage reply = exchange(methodCall("GetCurrentState"));
    const QList<QVariant> args = reply.arguments();
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != QLatin1String("ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv}"))
        return false;

    state = State();
    state.serial = args[0].toUInt();

    const QDBusArgument monitors = args[1].value<QDBusArgument>();
    monitors.beginArray();
    while (!monitors.atEnd()) {
        State::Monitor monitor;
        QVariantMap properties;
        monitors.beginStructure();
        monitors.beginStructure();
        monitors >> monitor.connector >> monitor.vendor >> monitor.product >> monitor.serial;
        monitors.endStructure();
        monitors.beginArray();
        while (!monitors.atEnd()) {
            State::Mode mode;
            QVariantMap modeProperties;
            monitors.beginStructure();
            monitors >> mode.id >> mode.width >> mode.height >> mode.refresh >> mode.preferredScale >> mode.scales
                >> modeProperties;
            monitors.endStructure();
            mode.current = modeProperties.value(QStringLiteral("is-current")).toBool();
            monitor.modes.append(mode);
        }
        monitors.endArray();
        monitors >> properties;
        monitors.endStructure();
        for (const auto &[reported, set] : SettableProperties) {
            const QVariant value = properties.value(QString::fromLatin1(reported));
            if (value.isValid())
                monitor.settable.insert(QString::fromLatin1(set), value);
        }
        monitor.displayName = properties.value(QStringLiteral("display-name")).toString();
        state.monitors.append(monitor);
    }
    monitors.endArray();

    const QDBusArgument logicals = args[2].value<QDBusArgument>();
    logicals.beginArray();
    while (!logicals.atEnd()) {
        State::Logical logical;
        QVariantMap properties;
        logicals.beginStructure();
        logicals >> logical.x >> logical.y >> logical.scale >> logical.transform >> logical.primary;
        logicals.beginArray();
        while (!logicals.atEnd()) {
            QString connector, vendor, product, serial;
            logicals.beginStructure();
            logicals >> connector >> vendor >> product >> serial;
            logicals.endStructure();
            logical.connectors.append(connector);
        }
        logicals.endArray();
        logicals >> properties;
        logicals.endStructure();
        state.logicals.append(logical);
    }
    logicals.endArray();

    const QVariantMap properties = qdbus_cast<QVariantMap>(args[3]);
    if (properties.contains(QStringLiteral("layout-mode")))
        state.layoutMode = properties.value(QStringLiteral("layout-mode")).toUInt();
    state.globalScaleRequired = properties.value(QStringLiteral("global-scale-required")).toBool();
    state.layoutModeChangeable = properties.value(QStringLiteral("supports-changing-layout-mode")).toBool();
    return true;
}

bool GnomeDisplayBackend::readOutputs(std::vector<DisplayOutput> &outputs)
{
    std::lock_guard<std::mutex> lock(mutex);
    outputs.clear();
    State state;
    if (!readState(state))
        return false;
    outputs = state.outputs();
    return true;
}

bool GnomeDisplayBackend::readWithModes(std::vector<DisplayOutput> &outputs, const std::vector<std::string> &named,
                                        std::map<std::string, std::vector<DisplayMode>> &modes)
{
    std::lock_guard<std::mutex> lock(mutex);
    outputs.clear();
    modes.clear();
    auto state = std::make_shared<State>();
    if (!readState(*state))
        return false;
    outputs = state->outputs();
    for (const std::string &name : named) {
        if (const State::Monitor *m = state->monitor(QString::fromStdString(name)))
            modes[name] = m->modeValues();
    }
    planned[std::this_thread::get_id()] = state;
    return true;
}

bool GnomeDisplayBackend::readModes(const std::string &output, std::vector<DisplayMode> &modes)
{
    std::lock_guard<std::mutex> lock(mutex);
    modes.clear();
    State state;
    if (!readState(state))
        return false;
    const State::Monitor *monitor = state.monitor(QString::fromStdString(output));
    if (!monitor)
        return false;
    modes = monitor->modeValues();
    return true;
}

DisplayBackend::ApplyResult GnomeDisplayBackend::commit(const ApplyPlan &plan, bool *stale)
{
    std::lock_guard<std::mutex> lock(mutex);
    *stale = false;
    // The state this thread's plan was made from: the plan's mode numbers are its list's, and
    // its serial makes Mutter refuse the request once anything changed since (stale).
    const auto own = planned.find(std::this_thread::get_id());
    if (own == planned.end()) {
        *stale = true;
        return ApplyResult::Failed;
    }
    const std::shared_ptr<State> state = own->second;
    planned.erase(own);
    Request request;
    const ApplyResult built = buildRequest(*state, plan, request);
    if (built != ApplyResult::Applied)
        return built;
    if (beforeApply)
        beforeApply();
    return send(request, stale);
}

DisplayBackend::ApplyResult GnomeDisplayBackend::buildRequest(const State &state, const ApplyPlan &plan,
                                                              Request &request)
{
    // Each logical monitor as the plan wants it: the new mode of its first monitor that gets
    // one, and whether the plan places it or asks its scale.
    QList<State::Logical> wanted = state.logicals;
    QList<const State::Mode *> newModes(wanted.size(), nullptr);
    QList<bool> placed(wanted.size(), false);
    QList<bool> scaleAsked(wanted.size(), false);
    QHash<QString, int> modeOf; // connector -> index of its new mode
    for (const ApplyPlan::Output &p : plan.changes) {
        const QString connector = QString::fromStdString(p.now.name);
        const State::Monitor *m = state.monitor(connector);
        const int i = state.logicalOf(connector);
        if (!m || i < 0)
            return ApplyResult::Failed;
        if (p.modeChanges) {
            if (p.modeNumber < 0 || p.modeNumber >= m->modes.size())
                return ApplyResult::Failed;
            modeOf.insert(connector, p.modeNumber);
            if (!newModes[i])
                newModes[i] = &m->modes[p.modeNumber];
        }
        if (p.moves) {
            wanted[i].x = p.wanted.x;
            wanted[i].y = p.wanted.y;
            placed[i] = true;
        }
        if (p.turns)
            wanted[i].transform = uint(p.wanted.transform);
        if (p.rescales) {
            wanted[i].scale = p.wanted.scale;
            scaleAsked[i] = true;
        }
        if (p.primaryChanges)
            wanted[i].primary = p.wanted.primary;
    }

    // Scales and the sizes they give. An asked scale must be one the mode offers; otherwise
    // the scale stays where the new mode supports it, else it is that mode's preferred one.
    QList<QSize> sizes;
    int firstRescaled = -1;
    for (int i = 0; i < wanted.size(); ++i) {
        State::Logical &l = wanted[i];
        const State::Monitor *first = l.connectors.isEmpty() ? nullptr : state.monitor(l.connectors.first());
        const int inUse = first ? first->currentMode() : -1;
        const State::Mode *mode = newModes[i] ? newModes[i] : inUse >= 0 ? &first->modes[inUse] : nullptr;
        if (scaleAsked[i] && (!mode || !mode->supports(l.scale))) {
            refuse(QStringLiteral("%1 in %2x%3 has no scale %4")
                       .arg(l.connectors.value(0))
                       .arg(mode ? mode->width : 0)
                       .arg(mode ? mode->height : 0)
                       .arg(l.scale));
            return ApplyResult::Refused;
        }
        if (newModes[i] && !scaleAsked[i])
            l.scale = newModes[i]->scaleKeeping(l.scale);
        if (firstRescaled < 0 && (scaleAsked[i] || newModes[i]))
            firstRescaled = i;
        sizes.append(mode ? state.layoutSize(*mode, l.scale, l.transform) : state.extent(i).size());
    }
    const QList<QPoint> places = state.placesAfterResize(sizes, placed);

    request.serial = state.serial;
    for (int i = 0; i < wanted.size(); ++i) {
        const State::Logical &l = wanted[i];
        LogicalAssignment a;
        a.x = placed[i] ? l.x : places[i].x();
        a.y = placed[i] ? l.y : places[i].y();
        // Where Mutter wants one scale for all, the one that changed is everybody's.
        a.scale = state.globalScaleRequired && firstRescaled >= 0 ? wanted[firstRescaled].scale : l.scale;
        a.transform = l.transform;
        a.primary = l.primary;
        for (const QString &connector : l.connectors) {
            const State::Monitor *m = state.monitor(connector);
            if (!m)
                return ApplyResult::Failed;
            const int index = modeOf.contains(connector) ? modeOf.value(connector)
                : newModes[i]                            ? m->mirrorOf(*newModes[i])
                                                         : m->currentMode();
            // In a logical monitor without a mode in use: nothing to send it as.
            if (index < 0)
                return ApplyResult::Failed;
            a.monitors.append({connector, m->modes[index].id, m->settable});
        }
        request.config.append(a);
    }
    // The layout mode stays as it is; Mutter takes it only where it can be changed at all.
    if (state.layoutModeChangeable)
        request.properties.insert(QStringLiteral("layout-mode"), state.layoutMode);
    return ApplyResult::Applied;
}

DisplayBackend::ApplyResult GnomeDisplayBackend::send(const Request &request, bool *stale)
{
    QDBusMessage call = methodCall("ApplyMonitorsConfig");
    call << request.serial << MethodTemporary << QVariant::fromValue(request.config) << request.properties;
    const QDBusMessage reply = exchange(call);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        lastRefusal.clear();
        policySaid = false;
        return ApplyResult::Applied;
    }
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.AccessDenied")) {
        // Stale serial, or refused for good (GNOME's policy): only a new serial tells them apart.
        State again;
        if (readState(again) && again.serial != request.serial) {
            *stale = true;
            return ApplyResult::Failed;
        }
        sayPolicy();
        return ApplyResult::Refused;
    }
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.InvalidArgs")) {
        refuse(reply.errorMessage());
        return ApplyResult::Refused;
    }
    return ApplyResult::Failed;
}

void GnomeDisplayBackend::refuse(const QString &why)
{
    // Said once per reason: the lock retries every poll.
    if (why != lastRefusal)
        qDebug().noquote() << QStringLiteral("GNOME: ApplyMonitorsConfig refused: %1").arg(why);
    lastRefusal = why;
}

void GnomeDisplayBackend::sayPolicy()
{
    // Asked only once Mutter refused: on every apply it would be one more call for nothing.
    QDBusMessage get = QDBusMessage::createMethodCall(QString::fromLatin1(Service), QString::fromLatin1(Path),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get.setAutoStartService(false);
    get << QString::fromLatin1(Interface) << QStringLiteral("ApplyMonitorsConfigAllowed");
    const QDBusMessage reply = exchange(get);
    const bool forbidden = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
        && !reply.arguments().first().value<QDBusVariant>().variant().toBool();
    if (forbidden && !policySaid)
        qDebug().noquote() << QStringLiteral("GNOME: ApplyMonitorsConfigAllowed is false, Mutter does not "
                                             "let programs change the display mode");
    policySaid = policySaid || forbidden;
}

void GnomeDisplayBackend::setChangeCallback(std::function<void()> cb)
{
    std::lock_guard<std::mutex> lock(callbackMutex);
    callback = std::move(cb);
}

void GnomeDisplayBackend::setBeforeApplyHook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(mutex);
    beforeApply = std::move(hook);
}

int GnomeDisplayBackend::takeCalls()
{
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(calls, 0);
}

void GnomeDisplayBackend::announce()
{
    std::function<void()> cb;
    {
        std::lock_guard<std::mutex> lock(callbackMutex);
        cb = callback;
    }
    if (cb)
        cb();
}

void GnomeDisplayBackend::onMonitorsChanged() { announce(); }

void GnomeDisplayBackend::onOwnerChanged(const QString &, const QString &, const QString &newOwner)
{
    // Mutter (re)started: its configuration is whatever it chose, so a lock must look now.
    if (!newOwner.isEmpty())
        announce();
}
