#include "Controler.h"
#include "SingleInstance.h"

#include <QApplication>
#include <QDebug>

#include <cstring>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvanne"));
    QCoreApplication::setApplicationName(QStringLiteral("Velmora"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));

    // A second start hands its request to the running instance instead of holding the
    // display against it.
    bool wantsBackground = false;
    for (int i = 1; i < argc; ++i)
        wantsBackground = wantsBackground || std::strcmp(argv[i], "-d") == 0;
    SingleInstance instance;
    switch (instance.claim(wantsBackground ? QByteArrayLiteral("background") : QByteArrayLiteral("show"))) {
    case SingleInstance::Result::First:
        break;
    case SingleInstance::Result::HandedOver:
        qDebug("Velmora is already running: handed over to it");
        return 0;
    case SingleInstance::Result::Unreachable:
        qWarning("Velmora is already running but does not answer (lock %s)", qPrintable(instance.lockPath()));
        return 1;
    }

    Controler controler;

    // QApplication has taken out the options it handles; the rest are echoed as they are
    // and only an exact "-d" counts.
    bool background = false;
    for (int i = 1; i < argc; ++i) {
        qDebug("%s", argv[i]);
        if (std::strcmp(argv[i], "-d") == 0)
            background = true;
    }

    QObject::connect(&controler, &Controler::quit, &app, &QCoreApplication::quit);
    controler.initUi(background);
    QObject::connect(&instance, &SingleInstance::requested, &controler, &Controler::handleRequest);
    return app.exec();
}
