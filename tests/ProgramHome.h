#pragma once

#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

class HostFolder;
class QProcess;

// The program (VELMORA_BINARY) as a user runs it, in a home of its own: its settings under
// <home>/.config, a private runtime folder (the single-instance lock and socket), the language
// fixed, and no platform forced but the one of the session kind chosen.
class ProgramHome
{
public:
    ProgramHome();
    QString path() const { return dir.path(); }
    QString configHome() const;   // <home>/.config
    QString runtimeDir() const;   // <home>/run, the owner's only
    QString settingsFile() const; // <config>/Orvanne/Velmora.conf
    QString fakeDisplayFile() const; // <home>/display.json

    QVariant stored(const QString &key) const;
    void store(const QString &key, const QVariant &value) const;

    // The session kinds, each from this process's environment.
    QProcessEnvironment x11(const QString &display, const QString &lang = QStringLiteral("C.UTF-8")) const;
    QProcessEnvironment fakeDisplay() const; // offscreen over fakeDisplayFile()
    QProcessEnvironment gnomeWayland(const HostFolder &nestedMutter) const;
    QProcessEnvironment gnomeX11(const HostFolder &mutter) const;
    QProcessEnvironment waylandHost(const HostFolder &host) const;

    // Starts the program with `arguments` in `env`; false when it does not start.
    bool start(QProcess &velmora, const QStringList &arguments, const QProcessEnvironment &env) const;
    // velmoractl (VELMORACTL_BINARY) with `arguments` in `env`, its input closed: its exit code
    // (-1: it crashed or hung), its standard output in *out.
    int control(const QStringList &arguments, const QProcessEnvironment &env, QString *out = nullptr) const;

private:
    QProcessEnvironment session(const QString &lang = QStringLiteral("C.UTF-8")) const;
    // A Wayland client under AddressSanitizer gets full stacks for its leak report.
    static void fullStacksUnderAsan(QProcessEnvironment &env);

    QTemporaryDir dir;
};
