// velmora_slowmutter MUTTER_BUS CLIENT_BUS HOLD_MS
//   Serves org.gnome.Mutter.DisplayConfig on CLIENT_BUS through the Mutter on MUTTER_BUS (bus
//   addresses), with the answers to switching ApplyMonitorsConfig calls held HOLD_MS. Prints
//   "ready" once it owns the name; runs until it is ended (SIGTERM).
#include "SlowMutterProxy.h"

#include <QCoreApplication>
#include <QDBusError>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    bool numeric = false;
    const int hold = args.value(3).toInt(&numeric);
    if (args.size() != 4 || !numeric) {
        std::fprintf(stderr, "usage: velmora_slowmutter MUTTER_BUS CLIENT_BUS HOLD_MS\n");
        return 2;
    }
    const QDBusConnection mutter = QDBusConnection::connectToBus(args[1], QStringLiteral("mutter"));
    const QDBusConnection clients = QDBusConnection::connectToBus(args[2], QStringLiteral("clients"));
    if (!mutter.isConnected() || !clients.isConnected()) {
        std::fprintf(stderr, "slowmutter: cannot connect: %s\n",
                     qPrintable((mutter.isConnected() ? clients : mutter).lastError().message()));
        return 1;
    }
    SlowMutterProxy proxy(mutter, clients, hold);
    if (!proxy.serve()) {
        std::fprintf(stderr, "slowmutter: org.gnome.Mutter.DisplayConfig is taken on %s\n", qPrintable(args[2]));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
