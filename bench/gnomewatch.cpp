// Timing from outside on a Mutter host, for bench/gnome.sh.
//   velmora_gnomewatch restore BUS LOCKED FOREIGN[,FOREIGN...] SWITCHES
//     Switches the primary monitor to each foreign mode in turn through DisplayConfig (as
//     GNOME Settings would) and waits, on Mutter's MonitorsChanged, until the mode is LOCKED
//     again. Prints one line per switch: "<n> <foreign> <apply-ms> <restore-ms>", the restore
//     counted from the moment the foreign ApplyMonitorsConfig returned; -1 when not restored
//     within 5 s. Modes are WxH@Hz as the program names them (Hz whole).
//   velmora_gnomewatch hold BUS LOCKED INTERVAL_MS
//     The reference holder: reads GetCurrentState every INTERVAL_MS and puts LOCKED back
//     when it differs. Runs until killed.
#include "GnomeDisplayBackend.h"
#include "Pinned.h"
#include "ModeWatch.h"

#include <QCoreApplication>
#include <QDBusConnection>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: velmora_gnomewatch restore BUS LOCKED FOREIGN,... SWITCHES | hold BUS LOCKED MS\n");
        return 2;
    }
    QDBusConnection bus = QDBusConnection::connectToBus(args[2], QStringLiteral("bench"));
    if (!bus.isConnected()) {
        std::fprintf(stderr, "cannot connect to %s\n", qPrintable(args[2]));
        return 1;
    }
    Pinned<GnomeDisplayBackend> backend(bus);
    if (backend.pinOutput().empty()) {
        std::fprintf(stderr, "no monitor in use\n");
        return 1;
    }
    return ModeWatch::run(backend, args);
}
