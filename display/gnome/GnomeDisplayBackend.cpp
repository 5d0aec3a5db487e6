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
        bool supportsScale(double scale) const
        {
            for (double s : scales) {
                if (sameScale(s, scale))
                    return true;
            }
            return false;
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
    const int currentIndex = monitor->currentMode();
    const int pinnedLogical = state.logicalOf(pinned);
    if (currentIndex < 0 || pinnedLogical < 0)
        return ApplyResult::Off;

    // The mode it is in when that one has the values, else the first one listed.
    int target = -1;
    if (monitor->modes[currentIndex].values() == wanted)
        target = currentIndex;
    for (int i = 0; i < monitor->modes.size() && target < 0; ++i) {
        if (monitor->modes[i].values() == wanted)
            target = i;
    }
    if (target < 0)
        return ApplyResult::NotOffered;
    if (target == currentIndex)
        return ApplyResult::Applied;

    // GNOME's policy may forbid configuration over D-Bus.
    {
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
    }

    const State::Mode &oldMode = monitor->modes[currentIndex];
    const State::Mode &newMode = monitor->modes[target];
    const State::Logical &logical = state.logicals[pinnedLogical];

    // The scale stays where the new mode supports it.
    double newScale = logical.scale;
    if (!newMode.supportsScale(newScale))
        newScale = newMode.preferredScale;

    const QSize oldSize = state.layoutSize(oldMode, logical.scale, logical.transform);
    const QSize newSize = state.layoutSize(newMode, newScale, logical.transform);
    const int right = logical.x + oldSize.width();
    const int bottom = logical.y + oldSize.height();
    const int dx = newSize.width() - oldSize.width();
    const int dy = newSize.height() - oldSize.height();

    QList<LogicalAssignment> config;
    for (int i = 0; i < state.logicals.size(); ++i) {
        const State::Logical &l = state.logicals[i];
        LogicalAssignment a;
        a.x = l.x;
        a.y = l.y;
        a.scale = l.scale;
        a.transform = l.transform;
        a.primary = l.primary;
        if (i == pinnedLogical) {
            a.scale = newScale;
        } else {
            // Mutter takes no gaps and no overlaps: what lay beyond the pinned monitor's right
            // or bottom edge moves with that edge.
            if (l.x >= right)
                a.x += dx;
            if (l.y >= bottom)
                a.y += dy;
            if (state.globalScaleRequired)
                a.scale = newScale;
        }
        for (const QString &connector : l.connectors) {
            const State::Monitor *m = state.monitor(connector);
            if (!m)
                return ApplyResult::Failed;
            int index = m->currentMode();
            if (connector == pinned) {
                index = target;
            } else if (i == pinnedLogical) {
                // A mirror shows the same picture: its size follows the pinned monitor's.
                for (int k = 0; k < m->modes.size(); ++k) {
                    if (m->modes[k].width == newMode.width && m->modes[k].height == newMode.height) {
                        index = k;
                        break;
                    }
                }
            }
            if (index < 0)
                return ApplyResult::Failed;
            // Unsaid monitor properties are reset by Mutter: keep underscanning as it is.
            QVariantMap monitorProperties;
            if (m->underscanning.isValid())
                monitorProperties.insert(QStringLiteral("underscanning"), m->underscanning.toBool());
            a.monitors.append({connector, m->modes[index].id, monitorProperties});
        }
        config.append(a);
    }

    if (beforeApply)
        beforeApply();
    QDBusMessage call = methodCall("ApplyMonitorsConfig");
    // The layout mode stays as it is; Mutter takes it only where it can be changed at all.
    QVariantMap properties;
    if (state.layoutModeChangeable)
        properties.insert(QStringLiteral("layout-mode"), state.layoutMode);
    call << state.serial << MethodTemporary << QVariant::fromValue(config) << properties;
    ++calls;
    const QDBusMessage reply = bus.call(call, QDBus::Block, CallTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        lastRefusal.clear();
        return ApplyResult::Applied;
    }
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.AccessDenied")) {
        // Stale serial, or refused for good: only a new serial tells them apart.
        State again;
        if (readState(again) && again.serial != state.serial) {
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
