#include "TestSupport.h"

#include "ThreadSanitizer.h"

#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QSettings>
#include <QThread>

namespace {
QMutex captureMutex;
QStringList captured;
int captureDepth = 0;
QtMessageHandler previousHandler = nullptr;

void captureHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&captureMutex);
        captured.append(message);
    }
    if (qEnvironmentVariableIsSet("VELMORA_TEST_VERBOSE") && previousHandler)
        previousHandler(type, context, message);
}

QString readFirstLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readLine()).trimmed();
}
} // namespace

MessageCapture::MessageCapture()
{
    QMutexLocker lock(&captureMutex);
    if (captureDepth++ == 0) {
        captured.clear();
        previousHandler = qInstallMessageHandler(captureHandler);
    }
}

MessageCapture::~MessageCapture()
{
    QMutexLocker lock(&captureMutex);
    if (--captureDepth == 0)
        qInstallMessageHandler(previousHandler);
}

QStringList MessageCapture::lines() const
{
    QMutexLocker lock(&captureMutex);
    return captured;
}

int MessageCapture::count(const QString &line) const
{
    return int(lines().count(line));
}

QStringList MessageCapture::matching(const QString &prefix) const
{
    QStringList out;
    for (const QString &l : lines()) {
        if (l.startsWith(prefix))
            out.append(l);
    }
    return out;
}

void MessageCapture::clear()
{
    QMutexLocker lock(&captureMutex);
    captured.clear();
}

TemporaryConfig::TemporaryConfig()
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
}

QString TemporaryConfig::settingsFile() const
{
    return dir.path() + QStringLiteral("/Orvanne/Velmora.conf");
}

void startThread(QThread &thread)
{
    QObject::connect(&thread, &QThread::finished, &thread, [&thread] { threadFinishedRelease(&thread); },
                     Qt::DirectConnection);
    thread.start();
}

bool stopThread(QThread &thread)
{
    thread.quit();
    const bool done = thread.wait(10000);
    threadJoinedAcquire(&thread);
    return done;
}

QString TestXServer::display(QString *why)
{
    const QString dir = QStringLiteral(VELMORA_XSERVER_DIR);
    const QString skip = readFirstLine(dir + QStringLiteral("/skip"));
    if (!skip.isEmpty()) {
        *why = skip;
        return QString();
    }
    const QString display = readFirstLine(dir + QStringLiteral("/display"));
    if (display.isEmpty())
        *why = QStringLiteral("the test X server is not running (run the tests through ctest)");
    return display;
}

bool TestXServer::xrandr(const QStringList &arguments, QString *out)
{
    QString why;
    const QString display = TestXServer::display(&why);
    if (display.isEmpty())
        return false;
    QProcess p;
    p.start(QStringLiteral("xrandr"), QStringList{QStringLiteral("-d"), display} + arguments);
    if (!p.waitForFinished(10000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return false;
    if (out)
        *out = QString::fromLocal8Bit(p.readAllStandardOutput());
    return true;
}
