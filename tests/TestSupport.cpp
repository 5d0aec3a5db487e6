#include "TestSupport.h"

#include "AutoRunStore.h"
#include "DisplaySettings.h"
#include "HostFolder.h"
#include "MonitorSettings.h"
#include "SettingsKeys.h"
#include "ThreadSanitizer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>
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
} // namespace

QString firstLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readLine()).trimmed();
}

bool writeFile(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

void storeLockedMode(QSettings &store, const DisplayMode &mode)
{
    store.beginGroup(SettingsKeys::DisplayGroup);
    store.setValue(SettingsKeys::PelsWidth, mode.PelsWidth);
    store.setValue(SettingsKeys::PelsHeight, mode.PelsHeight);
    store.setValue(SettingsKeys::BitsPerPel, mode.BitsPerPel);
    store.setValue(SettingsKeys::DisplayFrequency, mode.DisplayFrequency);
    store.endGroup();
}

bool waitForError(QProcess &program, QByteArray &err, const QByteArray &text, int ms)
{
    QDeadlineTimer deadline(ms);
    for (;;) {
        err += program.readAllStandardError();
        if (err.contains(text))
            return true;
        if (program.state() == QProcess::NotRunning || deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
}

QByteArray stopProcess(QProcess &program)
{
    if (program.state() != QProcess::NotRunning) {
        program.terminate();
        if (!program.waitForFinished(5000)) {
            program.kill();
            program.waitForFinished(5000);
        }
    }
    return program.readAllStandardError();
}

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
    // Where the native format is the registry the path above changes nothing: start as a new
    // user there too, without settings and without a log-on entry.
    QSettings(SettingsKeys::Organization, SettingsKeys::Application).clear();
    AutoRunStore::open()->remove(SettingsKeys::Application);
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
    const HostFolder host(QStringLiteral(VELMORA_XSERVER_DIR), QStringLiteral("display"));
    *why = host.why;
    return host.why.isEmpty() ? host.value(QStringLiteral("display")) : QString();
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

QString TestXServer::outputMode(const QString &output)
{
    QString text;
    if (!xrandr({QStringLiteral("--verbose")}, &text))
        return QString();
    bool inOutput = false;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1Char(' ')) && !line.startsWith(QLatin1Char('\t')))
            inOutput = line.startsWith(output + QLatin1Char(' '));
        else if (inOutput && line.startsWith(QLatin1String("  ")) && line.contains(QLatin1String("*current")))
            return line.trimmed().section(QLatin1Char(' '), 0, 0);
    }
    return QString();
}

QString TestXServer::outputPlace(const QString &output)
{
    QString text;
    if (!xrandr({QStringLiteral("--current")}, &text))
        return QString();
    const QRegularExpression line(QStringLiteral("^%1 connected (?:primary )?(\\d+x\\d+\\+\\d+\\+\\d+)").arg(output),
                                  QRegularExpression::MultilineOption);
    return line.match(text).captured(1);
}

bool TestXServer::isPrimary(const QString &output)
{
    QString text;
    return xrandr({QStringLiteral("--current")}, &text)
        && text.contains(QRegularExpression(QStringLiteral("^%1 connected primary").arg(output),
                                            QRegularExpression::MultilineOption));
}

bool TestXServer::connectSecondOutput()
{
    // The plain query probes the outputs: only then does DUMMY1 count as connected.
    return xrandr({"--addmode", "DUMMY1", "1024x768_60"})
        && xrandr({"--output", "DUMMY1", "--mode", "1024x768_60", "--right-of", "DUMMY0"}) && xrandr({});
}

void TestXServer::resetOutputs(const QString &mode)
{
    xrandr({"--output", "DUMMY1", "--off"});
    xrandr({"--delmode", "DUMMY1", "1024x768_60"});
    xrandr({"--output", "DUMMY0", "--mode", mode, "--pos", "0x0", "--primary"});
}

HeldLock::HeldLock(std::unique_ptr<DisplayBackend> backend, const DisplayMode &locked, int msec)
{
    catalogue = std::make_unique<DisplaySettings>(std::move(backend));
    {
        QSettings s(SettingsKeys::Organization, SettingsKeys::Application);
        storeLockedMode(s, locked);
        s.setValue("Deamon/msec", msec);
    }
    store = std::make_unique<QSettings>(SettingsKeys::Organization, SettingsKeys::Application);
    deamon.setDisplaySettings(catalogue.get());
    deamon.setSettings(store.get());
    deamon.moveToThread(&thread);
    store->moveToThread(&thread);
    catalogue->setChangeCallback(
        [this] { QMetaObject::invokeMethod(&deamon, &Deamon::displayChanged, Qt::QueuedConnection); });
    // As the program does: the poll timer stops in its own thread, other monitors held or not.
    QObject::connect(&thread, &QThread::finished, &deamon, &Deamon::halt, Qt::DirectConnection);
    startThread(thread);
    QMetaObject::invokeMethod(&deamon, "start", Qt::BlockingQueuedConnection);
}

HeldLock::~HeldLock()
{
    catalogue->setChangeCallback(nullptr);
    QMetaObject::invokeMethod(&deamon, "stop", Qt::BlockingQueuedConnection);
    stopThread(thread);
}

bool HeldLock::holdMonitor(const std::string &output, const DisplayMode &mode)
{
    std::vector<DisplayOutput> outputs;
    const DisplayOutput *found = nullptr;
    if (!catalogue->backend()->readOutputs(outputs)
        || DisplayBackend::stateOf(outputs, output, &found) == DisplayBackend::OutputState::Absent)
        return false;
    // A store object of the test's own: the daemon's lives in its thread.
    QSettings settings(SettingsKeys::Organization, SettingsKeys::Application);
    MonitorSettings::store(settings, *found, mode, true);
    QMetaObject::invokeMethod(&deamon, &Deamon::reloadMonitors, Qt::BlockingQueuedConnection);
    return true;
}

QList<DisplayMode> enumerateModes(DisplayBackend &backend)
{
    // The primary's, as pinning finds it.
    std::vector<DisplayOutput> outputs;
    std::vector<DisplayMode> listed;
    if (!backend.readOutputs(outputs) || !backend.readModes(DisplayBackend::primaryOf(outputs), listed))
        return {};
    return QList<DisplayMode>(listed.cbegin(), listed.cend());
}
