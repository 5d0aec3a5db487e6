#pragma once

#include "Deamon.h"
#include "DisplayBackend.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <memory>

class DisplaySettings;
class QProcess;
class QSettings;

// Collects the program's debug lines while it lives; nests (the previous handler comes back).
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    QStringList lines() const;
    int count(const QString &line) const;
    QStringList matching(const QString &prefix) const;
    void clear();
};

// Points the user-scope settings (INI and native format) and XDG_CONFIG_HOME at a fresh
// temporary folder, so that no test ever touches the user's own settings.
class TemporaryConfig
{
public:
    TemporaryConfig();
    QString path() const { return dir.path(); }
    QString settingsFile() const; // <config>/Orvanne/Velmora.conf

private:
    QTemporaryDir dir;
};

// Modes 0, 1, ... of a backend's pinned output, as it numbers them now.
QList<DisplayMode> enumerateModes(DisplayBackend &backend);

// The first line of a file, trimmed; empty when there is none.
QString firstLine(const QString &path);
// Writes `text` to `path`, making its folder; false when it cannot.
bool writeFile(const QString &path, const QByteArray &text);

// `mode` as the primary's locked mode in `store`, as the window stores it.
void storeLockedMode(QSettings &store, const DisplayMode &mode);

// Gathers a program's standard error into `err` until it holds `text`; false when `ms` pass
// or the program ends first.
bool waitForError(QProcess &program, QByteArray &err, const QByteArray &text, int ms);
// Ends a program as the session does (SIGTERM), killing it if it does not end within 5 s; the
// rest of its standard error.
QByteArray stopProcess(QProcess &program);

// Start and stop a thread so that ThreadSanitizer sees the join (see ThreadSanitizer.h).
void startThread(QThread &thread);
bool stopThread(QThread &thread);

namespace TestXServer {
// ":N" of the test X server, or empty with the reason in *why.
QString display(QString *why);
// Runs xrandr on the test server; false when it fails. Its standard output goes to *out.
bool xrandr(const QStringList &arguments, QString *out = nullptr);
// The mode `output` is in, by name; empty when it is off or unknown.
QString outputMode(const QString &output);
// Whether `output` is the primary.
bool isPrimary(const QString &output);
// Where `output` is, as xrandr says it: "1024x768+1024+0"; empty when it is off.
QString outputPlace(const QString &output);
// DUMMY1 connected and on, right of DUMMY0, in 1024x768_60.
bool connectSecondOutput();
// Back to DUMMY0 alone and primary, in `mode` (DUMMY1 off without modes, user modes gone).
void resetOutputs(const QString &mode);
}

// QSKIP unless the test X server is up; then DISPLAY names it.
#define REQUIRE_XSERVER()                                                                          \
    do {                                                                                           \
        QString why_;                                                                              \
        const QString display_ = TestXServer::display(&why_);                                      \
        if (display_.isEmpty())                                                                    \
            QSKIP(qPrintable(why_));                                                               \
        qputenv("DISPLAY", display_.toLocal8Bit());                                                \
    } while (0)

// The lock as the program runs it, over `backend`: the catalogue of its pinned output, the daemon
// in a thread of its own holding `locked` every `msec`, and the layer's announcements queued to it.
struct HeldLock
{
    TemporaryConfig config;
    MessageCapture log;
    std::unique_ptr<DisplaySettings> catalogue;
    std::unique_ptr<QSettings> store;
    Deamon deamon;
    QThread thread;

    HeldLock(std::unique_ptr<DisplayBackend> backend, const DisplayMode &locked, int msec);
    ~HeldLock();
    // Locks the monitor on `output` as the window does (stored, then the daemon told), at `mode`.
    // False when the backend does not see that output now.
    bool holdMonitor(const std::string &output, const DisplayMode &mode);
    // The values every apply asked for, in order.
    QStringList applies() const { return log.matching("applyDisplaySetting()"); }
};
