// Timing from outside on a wlroots compositor (phoc), for bench/wayland.sh.
//   velmora_wlrwatch restore SOCKET LOCKED FOREIGN[,FOREIGN...] SWITCHES
//     Switches the pinned head (the one at the layout's origin, as Velmora pins it) to each
//     foreign mode in turn through zwlr_output_manager_v1, as wlr-randr would, and waits, on
//     the manager's done events, until the head is in LOCKED again. Prints one line per switch:
//     "<n> <foreign> <apply-ms> <restore-ms>", the restore counted from the moment the foreign
//     configuration was answered; -1 when not restored within 5 s. Modes are WxH@Hz as the
//     program names them (Hz whole); a head without a list of modes takes them as custom modes.
//     With HEAD,HEAD... after SWITCHES, those heads are switched in one configuration and the
//     restore lasts until every one of them is in LOCKED again.
//   velmora_wlrwatch hold SOCKET LOCKED INTERVAL_MS
//     The reference holder: reads the head's mode every INTERVAL_MS and puts LOCKED back when
//     it differs. Runs until killed.
//   velmora_wlrwatch store SOCKET CONF HEAD[,HEAD...]
//     Writes the heads, in their modes now, as locked monitors into the settings file CONF,
//     as the program stores them.
#include "ModeWatch.h"
#include "Pinned.h"
#include "MonitorSettings.h"
#include "WlrootsDisplayBackend.h"

#include <QCoreApplication>
#include <QSettings>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: velmora_wlrwatch restore SOCKET LOCKED FOREIGN,... SWITCHES [HEAD,...] | hold SOCKET LOCKED MS"
                             " | store SOCKET CONF HEAD,...\n");
        return 2;
    }
    Pinned<WlrootsDisplayBackend> backend(args[2].toStdString());
    if (!backend.offered()) {
        std::fprintf(stderr, "%s offers no zwlr_output_manager_v1\n", qPrintable(args[2]));
        return 1;
    }
    if (args[1] == QLatin1String("store")) {
        std::vector<DisplayOutput> outputs;
        if (!backend.readOutputs(outputs))
            return 1;
        QSettings settings(args[3], QSettings::IniFormat);
        for (const QString &name : args[4].split(',')) {
            const DisplayOutput *o = nullptr;
            if (DisplayBackend::stateOf(outputs, name.toStdString(), &o) != DisplayBackend::OutputState::Active) {
                std::fprintf(stderr, "%s is not in use\n", qPrintable(name));
                return 1;
            }
            MonitorSettings::store(settings, *o, o->current, true);
        }
        return settings.status() == QSettings::NoError ? 0 : 1;
    }
    const std::string head = backend.pinOutput();
    if (head.empty()) {
        std::fprintf(stderr, "no head in use\n");
        return 1;
    }
    std::fprintf(stderr, "velmora_wlrwatch: %s on %s\n", qPrintable(args[1]), head.c_str());
    return ModeWatch::run(backend, args);
}
