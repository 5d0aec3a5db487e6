// velmora-test-compositor --socket NAME --config FILE.json [--protocols kde,wlr]
// Prints "ready" once clients can connect; SIGHUP re-reads FILE.json; SIGTERM and SIGINT end it.
#include "TestCompositor.h"

#include <QStringList>

#include <cstdio>

static int usage()
{
    std::fputs("usage: velmora-test-compositor --socket NAME --config FILE.json [--protocols kde,wlr]\n", stderr);
    return 2;
}

int main(int argc, char **argv)
{
    QString socket;
    QString config;
    int protocols = TestCompositor::Kde | TestCompositor::Wlr;
    for (int i = 1; i < argc; ++i) {
        const QString option = QString::fromLocal8Bit(argv[i]);
        if (i + 1 >= argc)
            return usage();
        const QString value = QString::fromLocal8Bit(argv[++i]);
        if (option == QLatin1String("--socket")) {
            socket = value;
        } else if (option == QLatin1String("--config")) {
            config = value;
        } else if (option == QLatin1String("--protocols")) {
            protocols = 0;
            for (const QString &family : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
                if (family == QLatin1String("kde"))
                    protocols |= TestCompositor::Kde;
                else if (family == QLatin1String("wlr"))
                    protocols |= TestCompositor::Wlr;
                else
                    return usage();
            }
        } else {
            return usage();
        }
    }
    if (socket.isEmpty() || config.isEmpty())
        return usage();

    TestCompositor compositor(config, protocols);
    QString error;
    if (!compositor.start(socket, &error)) {
        std::fprintf(stderr, "velmora-test-compositor: %s\n", qPrintable(error));
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    compositor.run();
    return 0;
}
