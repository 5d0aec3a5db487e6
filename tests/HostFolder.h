#pragma once

#include <QString>

// The state folder of a test host (scripts/xserver.sh, mutter.sh, wayland-host.sh): one value a
// file (display, wayland, bus, pid, ...), or "skip" with the reason the host could not start.
class HostFolder
{
public:
    HostFolder() = default;
    // `ready`: the file the host writes once it is up.
    HostFolder(const QString &dir, const QString &ready);

    QString dir;
    QString why; // empty when the host is up

    // The first line of <dir>/<name>, or empty.
    QString value(const QString &name) const;
};

// QSKIP unless the host is up.
#define REQUIRE_HOST(host)                                                                         \
    do {                                                                                           \
        if (!(host).why.isEmpty())                                                                 \
            QSKIP(qPrintable((host).why));                                                         \
    } while (false)
