#include "GnomeDisplayBackend.h"

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

#include <cmath>
#include <utility>

namespace {

const char *const Path = "/org/gnome/Mutter/DisplayConfig";
const char *const Interface = "org.gnome.Mutter.DisplayConfig";
// Long enough for a nested Mutter busy with the previous change; a vanished service answers
// at once through the bus anyway.
const int CallTimeoutMs = 3000;
// Mutter's layout modes: sizes in the layout are mode size / scale, or the mode size itself.
const uint LayoutLogical = 1;
// ApplyMonitorsConfig's methods: 0 verify, 1 temporary, 2 persistent.
const uint MethodVerify = 0;
const uint MethodTemporary = 1;

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
        // The scale stays where this mode supports it, else it is this mode's preferred one.
        double scaleKeeping(double scale) const
        {
            for (double s : scales) {
                if (sameScale(s, scale))
                    return scale;
            }
            return preferredScale;
        }
    };
    struct Monitor
    {
        QString connector;
        QList<Mode> modes;
        QVariant underscanning; // invalid when Mutter does not say
        int currentMode() const
        {
            for (int i = 0; i < modes.size(); ++i) {
                if (modes[i].current)
                    return i;
            }
            return -1;
        }
        // The mode to switch to for these values: the one in use when it has them (a re-apply
        // keeps its own timing), else the first one listed; -1 when none has them.
        int modeFor(const DisplayMode &wanted) const
        {
            const int inUse = currentMode();
            if (inUse >= 0 && modes[inUse].values() == wanted)
                return inUse;
            for (int i = 0; i < modes.size(); ++i) {
                if (modes[i].values() == wanted)
                    return i;
            }
            return -1;
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
        // Unsaid monitor properties are reset by Mutter: underscanning stays as it is.
        QVariantMap keptProperties() const
        {
            QVariantMap properties;
            if (underscanning.isValid())
                properties.insert(QStringLiteral("underscanning"), underscanning.toBool());
            return properties;
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

    // Where every logical monitor goes once logical monitor `changed` has `size`. Its right and
    // bottom edges move; what touches such an edge along a stretch moves with it, and so on
    // from there. Nothing else moves: what merely lies further right or below would otherwise
    // come to overlap or leave a gap, and Mutter takes neither.
    QList<QPoint> placesAfterResize(int changed, QSize size) const
    {
        QList<QRect> rects;
        for (int i = 0; i < logicals.size(); ++i)
            rects.append(extent(i));
        const QList<bool> right = followers(rects, changed, Qt::Horizontal);
        const QList<bool> below = followers(rects, changed, Qt::Vertical);
        const int dx = size.width() - rects[changed].width();
        const int dy = size.height() - rects[changed].height();
        QList<QPoint> places;
        for (int i = 0; i < rects.size(); ++i)
            places.append(rects[i].topLeft() + QPoint(right[i] ? dx : 0, below[i] ? dy : 0));
        return places;
    }

    // Which rectangles move along with the right (Horizontal) or bottom (Vertical) edge of
    // rects[from].
    static QList<bool> followers(const QList<QRect> &rects, int from, Qt::Orientation edge)
    {
        QList<bool> moves(rects.size(), false);
        QList<int> todo{from};
        while (!todo.isEmpty()) {
            const QRect r = rects[todo.takeLast()];
            for (int i = 0; i < rects.size(); ++i) {
                const QRect &o = rects[i];
                const bool touches = edge == Qt::Horizontal
                    ? o.x() == r.x() + r.width() && o.y() < r.y() + r.height() && r.y() < o.y() + o.height()
                    : o.y() == r.y() + r.height() && o.x() < r.x() + r.width() && r.x() < o.x() + o.width();
                if (i != from && !moves[i] && touches) {
                    moves[i] = true;
                    todo.append(i);
                }
            }
        }
        return moves;
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

bool GnomeDisplayBackend::readState(State &state)
{
    ++calls;
    const QDBusMessage reply = bus.call(methodCall("GetCurrentState"), QDBus::Block, CallTimeoutMs);
    const QList<QVariant> args = reply.arguments();
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != QLatin1String("ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv}"))
        return false;

    state = State();
    state.serial = args[0].toUInt();

    const QDBusArgument monitors = args[1].value<QDBusArgument>();
    monitors.beginArray();
    while (!monitors.atEnd()) {
        State::Monitor monitor;
        QString vendor, product, serial;
        QVariantMap properties;
        monitors.beginStructure();
        monitors.beginStructure();
        monitors >> monitor.connector >> vendor >> product >> serial;
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
        monitor.underscanning = properties.value(QStringLiteral("is-underscanning"));
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

std::string GnomeDisplayBackend::pinOutput()
{
    std::lock_guard<std::mutex> lock(mutex);
    State state;
    pinned.clear();
    if (!readState(state))
        return std::string();
    // The primary logical monitor's first monitor, else the first one that is on.
    for (const State::Logical &logical : state.logicals) {
        if (logical.primary && !logical.connectors.isEmpty()) {
            pinned = logical.connectors.first();
            break;
        }
    }
    if (pinned.isEmpty()) {
        for (const State::Logical &logical : state.logicals) {
            if (!logical.connectors.isEmpty()) {
                pinned = logical.connectors.first();
                break;
            }
        }
    }
    return pinned.toStdString();
}

bool GnomeDisplayBackend::mode(int n, DisplayMode &out)
{
    std::lock_guard<std::mutex> lock(mutex);
    State state;
    if (pinned.isEmpty() || n < 0 || !readState(state))
        return false;
    const State::Monitor *monitor = state.monitor(pinned);
    if (!monitor || n >= monitor->modes.size())
        return false;
    out = monitor->modes[n].values();
    return true;
}

DisplayBackend::OutputState GnomeDisplayBackend::current(DisplayMode &out)
{
    std::lock_guard<std::mutex> lock(mutex);
    State state;
    if (pinned.isEmpty())
        return OutputState::Absent;
    if (!readState(state))
        return OutputState::Unreadable;
    const State::Monitor *monitor = state.monitor(pinned);
    if (!monitor)
        return OutputState::Absent;
    const int index = monitor->currentMode();
    if (index < 0 || state.logicalOf(pinned) < 0)
        return OutputState::Off;
    out = monitor->modes[index].values();
    return OutputState::Active;
}

DisplayBackend::OutputState GnomeDisplayBackend::availability(const DisplayMode &mode)
{
    std::lock_guard<std::mutex> lock(mutex);
    State state;
    if (pinned.isEmpty())
        return OutputState::Absent;
    if (!readState(state))
        return OutputState::Unreadable;
    const State::Monitor *monitor = state.monitor(pinned);
    if (!monitor)
        return OutputState::Absent;
    if (monitor->currentMode() < 0 || state.logicalOf(pinned) < 0)
        return OutputState::Off;
    for (const State::Mode &m : monitor->modes) {
        if (m.values() == mode)
            return OutputState::Active;
    }
    return OutputState::NotOffered;
}

DisplayBackend::ApplyResult GnomeDisplayBackend::apply(const DisplayMode &mode)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (pinned.isEmpty())
        return ApplyResult::Absent;
    bool stale = false;
    ApplyResult result = applyOnce(mode, &stale);
    // Someone changed the configuration between our read and our request: read it again.
    if (stale)
        result = applyOnce(mode, &stale);
    return stale ? ApplyResult::Failed : result;
}

DisplayBackend::ApplyResult GnomeDisplayBackend::applyOnce(const DisplayMode &wanted, bool *stale)
{
    *stale = false;
    State state;
    if (!readState(state))
        return ApplyResult::Failed;
    const State::Monitor *monitor = state.monitor(pinned);
    if (!monitor)
        return ApplyResult::Absent;
    if (monitor->currentMode() < 0 || state.logicalOf(pinned) < 0)
        return ApplyResult::Off;
    const int target = monitor->modeFor(wanted);
    if (target < 0)
        return ApplyResult::NotOffered;
    if (target == monitor->currentMode())
        return ApplyResult::Applied;

    const ApplyResult allowed = checkPolicy();
    if (allowed != ApplyResult::Applied)
        return allowed;
    Request request;
    if (!buildRequest(state, target, request))
        return ApplyResult::Failed;
    if (beforeApply)
        beforeApply();
    // Mutter checks the layout first without touching a monitor: a layout it rejects is
    // refused before anything happens.
    const ApplyResult verified = send(request, MethodVerify, stale);
    if (verified != ApplyResult::Applied)
        return verified;
    return send(request, MethodTemporary, stale);
}

DisplayBackend::ApplyResult GnomeDisplayBackend::checkPolicy()
{
    // GNOME's policy may forbid configuration over D-Bus.
    QDBusMessage get = QDBusMessage::createMethodCall(QString::fromLatin1(Service), QString::fromLatin1(Path),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get.setAutoStartService(false);
    get << QString::fromLatin1(Interface) << QStringLiteral("ApplyMonitorsConfigAllowed");
    ++calls;
    const QDBusMessage reply = bus.call(get, QDBus::Block, CallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return ApplyResult::Failed;
    const bool allowed = reply.arguments().first().value<QDBusVariant>().variant().toBool();
    if (!allowed) {
        if (!refusalSaid)
            qDebug().noquote() << QStringLiteral("GNOME: ApplyMonitorsConfigAllowed is false, Mutter does not "
                                                 "let programs change the display mode");
        refusalSaid = true;
        return ApplyResult::Refused;
    }
    refusalSaid = false;
    return ApplyResult::Applied;
}

bool GnomeDisplayBackend::buildRequest(const State &state, int target, Request &request) const
{
    const int changed = state.logicalOf(pinned);
    const State::Logical &logical = state.logicals[changed];
    const State::Mode &newMode = state.monitor(pinned)->modes[target];
    const double newScale = newMode.scaleKeeping(logical.scale);
    const QList<QPoint> places =
        state.placesAfterResize(changed, state.layoutSize(newMode, newScale, logical.transform));

    request.serial = state.serial;
    for (int i = 0; i < state.logicals.size(); ++i) {
        const State::Logical &l = state.logicals[i];
        LogicalAssignment a;
        a.x = places[i].x();
        a.y = places[i].y();
        a.scale = i == changed || state.globalScaleRequired ? newScale : l.scale;
        a.transform = l.transform;
        a.primary = l.primary;
        for (const QString &connector : l.connectors) {
            const State::Monitor *m = state.monitor(connector);
            if (!m)
                return false;
            const int index = connector == pinned ? target : i == changed ? m->mirrorOf(newMode) : m->currentMode();
            if (index < 0)
                return false;
            a.monitors.append({connector, m->modes[index].id, m->keptProperties()});
        }
        request.config.append(a);
    }
    // The layout mode stays as it is; Mutter takes it only where it can be changed at all.
    if (state.layoutModeChangeable)
        request.properties.insert(QStringLiteral("layout-mode"), state.layoutMode);
    return true;
}

DisplayBackend::ApplyResult GnomeDisplayBackend::send(const Request &request, uint method, bool *stale)
{
    QDBusMessage call = methodCall("ApplyMonitorsConfig");
    call << request.serial << method << QVariant::fromValue(request.config) << request.properties;
    ++calls;
    const QDBusMessage reply = bus.call(call, QDBus::Block, CallTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        if (method != MethodVerify)
            lastRefusal.clear();
        return ApplyResult::Applied;
    }
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.AccessDenied")) {
        // Stale serial, or refused for good: only a new serial tells them apart.
        State again;
        if (readState(again) && again.serial != request.serial) {
            *stale = true;
            return ApplyResult::Failed;
        }
        return ApplyResult::Refused;
    }
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.InvalidArgs")) {
        // Said once per reason: the lock retries every poll.
        if (reply.errorMessage() != lastRefusal)
            qDebug().noquote() << QStringLiteral("GNOME: ApplyMonitorsConfig refused: %1").arg(reply.errorMessage());
        lastRefusal = reply.errorMessage();
        return ApplyResult::Refused;
    }
    return ApplyResult::Failed;
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
