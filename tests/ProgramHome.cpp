#include "ProgramHome.h"

#include "HostFolder.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>

ProgramHome::ProgramHome()
{
    QDir().mkpath(runtimeDir());
    QFile::setPermissions(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString ProgramHome::configHome() const
{
    return path() + QStringLiteral("/.config");
}

QString ProgramHome::runtimeDir() const
{
    return path() + QStringLiteral("/run");
}

QString ProgramHome::settingsFile() const
{
    return configHome() + QStringLiteral("/Orvanne/Velmora.conf");
}

QString ProgramHome::fakeDisplayFile() const
{
    return path() + QStringLiteral("/display.json");
}

QVariant ProgramHome::stored(const QString &key) const
{
    return QSettings(settingsFile(), QSettings::IniFormat).value(key);
}

void ProgramHome::store(const QString &key, const QVariant &value) const
{
    QSettings(settingsFile(), QSettings::IniFormat).setValue(key, value);
}

QProcessEnvironment ProgramHome::session(const QString &lang) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Only what the session kind sets picks the platform.
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "QT_QPA_PLATFORM", "VELMORA_FAKE_DISPLAY",
                             "VELMORA_DISPLAY_BACKEND", "LANGUAGE", "LC_ALL", "LC_MESSAGES"})
        env.remove(name);
    env.insert("HOME", path());
    env.insert("XDG_CONFIG_HOME", configHome());
    env.insert("XDG_RUNTIME_DIR", runtimeDir());
    // The language the tests expect, whatever this machine's locale is.
    env.insert("LANG", lang);
    return env;
}

QProcessEnvironment ProgramHome::x11(const QString &display, const QString &lang) const
{
    QProcessEnvironment env = session(lang);
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    return env;
}

QProcessEnvironment ProgramHome::fakeDisplay() const
{
    QProcessEnvironment env = session();
    env.insert("VELMORA_FAKE_DISPLAY", fakeDisplayFile());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

// What a GNOME Wayland session gives a program it starts.
QProcessEnvironment ProgramHome::gnomeWayland(const HostFolder &nestedMutter) const
{
    QProcessEnvironment env = session();
    env.insert("WAYLAND_DISPLAY", nestedMutter.dir + "/runtime/" + nestedMutter.value("wayland"));
    env.insert("DISPLAY", nestedMutter.value("xwayland"));
    env.insert("XAUTHORITY", nestedMutter.value("xauthority"));
    env.insert("XDG_SESSION_TYPE", "wayland");
    env.insert("XDG_CURRENT_DESKTOP", "GNOME");
    env.insert("DBUS_SESSION_BUS_ADDRESS", nestedMutter.value("bus"));
    fullStacksUnderAsan(env);
    return env;
}

QProcessEnvironment ProgramHome::gnomeX11(const HostFolder &mutter) const
{
    QProcessEnvironment env = session();
    env.insert("DISPLAY", mutter.value("display"));
    env.insert("XDG_SESSION_TYPE", "x11");
    env.insert("XDG_CURRENT_DESKTOP", "GNOME");
    env.insert("DBUS_SESSION_BUS_ADDRESS", mutter.value("bus"));
    // Qt on the X server itself: it hears of RandR changes at once.
    env.insert("QT_QPA_PLATFORM", "xcb");
    return env;
}

QProcessEnvironment ProgramHome::waylandHost(const HostFolder &host) const
{
    QProcessEnvironment env = session();
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    env.insert("QT_QPA_PLATFORM", "wayland");
    env.insert("WAYLAND_DISPLAY", host.value("wayland"));
    env.insert("XDG_SESSION_TYPE", "wayland");
    fullStacksUnderAsan(env);
    return env;
}

void ProgramHome::fullStacksUnderAsan(QProcessEnvironment &env)
{
    // So that what Qt's Wayland platform leaves at exit is told apart from the program's own
    // (tests/lsan.supp): the fast unwinder stops inside libwayland-client.
    if (env.contains("ASAN_OPTIONS"))
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":fast_unwind_on_malloc=0");
}

bool ProgramHome::start(QProcess &velmora, const QStringList &arguments, const QProcessEnvironment &env) const
{
    velmora.setProcessEnvironment(env);
    velmora.setProcessChannelMode(QProcess::SeparateChannels);
    velmora.start(QStringLiteral(VELMORA_BINARY), arguments);
    return velmora.waitForStarted();
}

int ProgramHome::control(const QStringList &arguments, const QProcessEnvironment &env, QString *out) const
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(VELMORACTL_BINARY), arguments);
    p.closeWriteChannel();
    if (!p.waitForFinished(30000))
        p.kill();
    p.waitForFinished();
    if (out)
        *out = QString::fromUtf8(p.readAllStandardOutput());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}
