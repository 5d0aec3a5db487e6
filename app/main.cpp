#include "AppPlatform.h"
#include "Controler.h"
#include "SettingsKeys.h"
#include "SingleInstance.h"
#include "Translations.h"

#include <QApplication>
#include <QDebug>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// Qt's own switch for sending the debug lines to standard error. A GUI program on Windows gets
// nothing there from Qt's handler (it writes to the debugger), so the lines are written here.
void writeToStandardError(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray line = qFormatLogMessage(type, context, message).toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
    if (type == QtFatalMsg)
        std::abort();
}
} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIntValue("QT_FORCE_STDERR_LOGGING") != 0)
        qInstallMessageHandler(writeToStandardError);
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(SettingsKeys::Organization);
    QCoreApplication::setApplicationName(SettingsKeys::Application);
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    // The desktop entry's name: Wayland compositors match the window to it (icon, name).
    QGuiApplication::setDesktopFileName(QStringLiteral(VELMORA_APP_ID));
    // Before any widget exists: every text is looked up in the user's language.
    Translations::install();
    // Log-out, systemd or kill end it the way the tray's Exit does; one that comes before the
    // event loop runs ends it as soon as the loop starts.
    const std::unique_ptr<QObject> endRequests = AppPlatform::quitOnEndRequests(app);

    // QApplication has taken out the options it handles; of the rest only an exact "-d"
    // counts. It is known before anything else: a second start hands its request to the
    // running instance instead of holding the display against it.
    bool background = false;
    for (int i = 1; i < argc; ++i)
        background = background || std::strcmp(argv[i], "-d") == 0;
    SingleInstance instance;
    switch (instance.claim(background ? QByteArrayLiteral("background") : QByteArrayLiteral("show"))) {
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

    // Every argument is echoed as it is.
    for (int i = 1; i < argc; ++i)
        qDebug("%s", argv[i]);

    QObject::connect(&controler, &Controler::quit, &app, &QCoreApplication::quit);
    controler.initUi(background);
    instance.setAnswerer([&controler](const QByteArray &request) { return controler.answer(request); });
    return app.exec();
}
