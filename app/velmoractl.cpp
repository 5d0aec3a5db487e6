#include "ControlCommand.h"
#include "SettingsKeys.h"
#include "Translations.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(SettingsKeys::Organization);
    QCoreApplication::setApplicationName(SettingsKeys::Application);
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    // The display layer's diagnostics are Velmora's; here only what the command says counts.
    if (qEnvironmentVariableIsEmpty("VELMORA_CTL_DEBUG"))
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    Translations::installCommandLine();

    ControlCommand command;
    const int exit = command.run(QCoreApplication::arguments().mid(1));
    std::fflush(stdout);
    std::fflush(stderr);
    // A question nobody answered leaves its reader waiting on standard input.
    if (command.asked())
        std::_Exit(exit);
    return exit;
}
