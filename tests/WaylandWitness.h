#pragma once
// The Wayland test hosts (scripts/wayland-host.sh, CTest fixtures) seen from a test, and what
// the compositors' own tools say of their outputs: wlr-randr and kscreen-doctor -j, parsed
// here independently of the backends under test.
#include "DisplayMode.h"
#include "HostFolder.h"

#include <QList>
#include <QString>
#include <QStringList>

struct WitnessOutput
{
    QString name;
    bool enabled = false;
    QList<DisplayMode> modes; // in the tool's order
    int current = -1;         // index into modes
    int x = 0;
    int y = 0;
    int transform = 0; // wl_output numbering; kscreen-doctor tells rotations only
    double scale = 1.0;
    int priority = 0; // kscreen-doctor: KWin's order, 1 the primary
    DisplayMode mode() const { return current >= 0 ? modes[current] : DisplayMode(); }
};

struct WaylandHost : HostFolder
{
    explicit WaylandHost(const QString &dir);
    QString socket() const; // WAYLAND_DISPLAY for a client
    // Runs a command as a client of the host; its standard output, or empty with *ok false.
    QString run(const QStringList &command, bool *ok = nullptr) const;
    // The outputs as wlr-randr (wlroots) or kscreen-doctor -j (KWin) lists them.
    QList<WitnessOutput> outputs() const;
    WitnessOutput output(const QString &name) const;
};
