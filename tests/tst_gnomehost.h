#pragma once
// The Mutter test hosts (scripts/mutter.sh, CTest fixtures) seen from a test: their private
// bus, gdbus on it, and GetCurrentState parsed from gdbus's text, independently of QtDBus.
#include "HostFolder.h"

#include <QDBusConnection>
#include <QDebug>
#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>

namespace MutterHost {

struct Host : HostFolder
{
    using HostFolder::HostFolder;
    QString bus() const { return value("bus"); }
    QString display() const { return value("display"); }
    QString wayland() const { return value("wayland"); }
    QString runtime() const { return dir + "/runtime"; }
};

inline Host host(const QString &dir)
{
    return Host(dir, QStringLiteral("bus"));
}

inline QDBusConnection bus(const Host &h, const QString &name)
{
    QDBusConnection::disconnectFromBus(name);
    return QDBusConnection::connectToBus(h.bus(), name);
}

inline QString run(const Host &h, const QString &program, const QStringList &arguments, bool *ok = nullptr)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", h.bus());
    env.insert("DISPLAY", h.display());
    // XWayland (nested host) wants Mutter's authority file; the test X server wants none.
    const QString xauthority = h.value("xauthority");
    if (!xauthority.isEmpty())
        env.insert("XAUTHORITY", xauthority);
    p.setProcessEnvironment(env);
    p.start(program, arguments);
    const bool done = p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (ok)
        *ok = done;
    return QString::fromLocal8Bit(p.readAllStandardOutput() + p.readAllStandardError());
}

inline QString gdbus(const Host &h, const QString &method, const QStringList &arguments = {}, bool *ok = nullptr)
{
    return run(h, "gdbus",
               QStringList{"call", "--session", "--dest", "org.gnome.Mutter.DisplayConfig", "--object-path",
                           "/org/gnome/Mutter/DisplayConfig", "--method",
                           "org.gnome.Mutter.DisplayConfig." + method}
                   + arguments,
               ok);
}

// scripts/mutter.sh kill-mutter / start-mutter on this host.
inline bool script(const Host &h, const QString &command)
{
    bool ok = false;
    run(h, QStringLiteral(VELMORA_SOURCE_DIR "/scripts/mutter.sh"), {command, h.dir}, &ok);
    return ok;
}

struct Mode
{
    QString id;
    int width = 0;
    int height = 0;
    double refresh = 0;
    bool current = false;
};

struct Monitor
{
    QString connector;
    QList<Mode> modes;
    QString properties; // the monitor's own a{sv}, as gdbus prints it
    QString currentId() const
    {
        for (const Mode &m : modes) {
            if (m.current)
                return m.id;
        }
        return QString();
    }
};

struct Logical
{
    int x = 0;
    int y = 0;
    double scale = 1;
    bool primary = false;
    QString connector;
    int transform = 0;
};

struct State
{
    uint serial = 0;
    QList<Monitor> monitors;
    QList<Logical> logicals;
    int layoutMode = 0;
    const Monitor *monitor(const QString &c) const
    {
        for (const Monitor &m : monitors) {
            if (m.connector == c)
                return &m;
        }
        return nullptr;
    }
    const Logical *logical(const QString &c) const
    {
        for (const Logical &l : logicals) {
            if (l.connector == c)
                return &l;
        }
        return nullptr;
    }
    QString primary() const
    {
        for (const Logical &l : logicals) {
            if (l.primary)
                return l.connector;
        }
        return QString();
    }
};

// GetCurrentState as gdbus prints it.
inline State state(const Host &h)
{
    State s;
    const QString text = gdbus(h, "GetCurrentState");
    s.serial = QRegularExpression(R"(^\(uint32 (\d+),)").match(text).captured(1).toUInt();
    s.layoutMode = QRegularExpression(R"('layout-mode': <uint32 (\d+)>)").match(text).captured(1).toInt();
    static const QRegularExpression monitorRe(R"(\(\('([^']+)', '[^']*', '[^']*', '[^']*'\), \[)");
    static const QRegularExpression modeRe(
        R"(\('([^']+)', (\d+), (\d+), ([\d.]+), [\d.]+, \[[^\]]*\], (@a\{sv\} )?\{([^}]*)\}\))");
    static const QRegularExpression logicalRe(
        R"(\((\d+), (\d+), ([\d.]+), (?:uint32 )?(\d+), (true|false), \[\('([^']+)')");
    // A monitor's own properties follow its last mode.
    static const QRegularExpression propertiesRe(R"(\}\)\], ((?:@a\{sv\} )?\{[^}]*\}))");
    // Monitors come first, then the logical monitors.
    const int logicalStart = int(text.indexOf(QRegularExpression(R"(\)\], \[\(\d+, \d+, [\d.]+, )")));
    const QString monitorsText = logicalStart > 0 ? text.left(logicalStart) : text;
    auto it = QRegularExpression(monitorRe.pattern() + "|" + modeRe.pattern()).globalMatch(monitorsText);
    while (it.hasNext()) {
        const auto m = it.next();
        if (!m.captured(1).isEmpty()) {
            s.monitors.append({m.captured(1), {}});
        } else if (!s.monitors.isEmpty()) {
            Mode mode;
            mode.id = m.captured(2);
            mode.width = m.captured(3).toInt();
            mode.height = m.captured(4).toInt();
            mode.refresh = m.captured(5).toDouble();
            mode.current = m.captured(7).contains("'is-current': <true>");
            s.monitors.last().modes.append(mode);
        }
    }
    auto pit = propertiesRe.globalMatch(monitorsText);
    for (int i = 0; pit.hasNext() && i < s.monitors.size(); ++i)
        s.monitors[i].properties = pit.next().captured(1);
    if (logicalStart > 0) {
        auto lit = logicalRe.globalMatch(text.mid(logicalStart));
        while (lit.hasNext()) {
            const auto m = lit.next();
            s.logicals.append({m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toDouble(),
                               m.captured(5) == "true", m.captured(6), m.captured(4).toInt()});
        }
    }
    return s;
}

// One logical monitor of one monitor, as another client of DisplayConfig asks for it.
struct Place
{
    int x, y;
    double scale;
    bool primary;
    QString connector, mode;
    int transform = 0;
};

// A temporary ApplyMonitorsConfig of `places`, as another client sends it: monitors left out
// go off.
inline bool foreignApply(const Host &h, const QList<Place> &places)
{
    QStringList parts;
    for (const Place &p : places)
        parts << QString("(%1,%2,%3,%4,%5,[('%6','%7',@a{sv} {})])")
                     .arg(p.x)
                     .arg(p.y)
                     .arg(p.scale, 0, 'f', 10)
                     .arg(p.transform)
                     .arg(p.primary ? "true" : "false", p.connector, p.mode);
    bool ok = false;
    const QString out = gdbus(h, "ApplyMonitorsConfig",
                              {QString::number(state(h).serial), "1", "[" + parts.join(",") + "]", "@a{sv} {}"}, &ok);
    if (!ok)
        qWarning().noquote() << "foreign ApplyMonitorsConfig:" << out;
    return ok;
}

// What `s` shows, to be applied again.
inline QList<Place> placesOf(const State &s)
{
    QList<Place> places;
    for (const Logical &l : s.logicals) {
        const Monitor *m = s.monitor(l.connector);
        places.append({l.x, l.y, l.scale, l.primary, l.connector, m ? m->currentId() : QString(), l.transform});
    }
    return places;
}

// Polls `done` until it holds or `ms` pass.
template<typename F>
bool waitFor(F done, int ms = 10000)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

} // namespace MutterHost

