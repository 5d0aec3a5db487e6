#include "Controler.h"

#include <QApplication>
#include <QDebug>

#include <cstring>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvanne"));
    QCoreApplication::setApplicationName(QStringLiteral("Velmora"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));

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
    return app.exec();
}
