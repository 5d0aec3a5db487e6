#pragma once

#include <QStringList>
#include <QTemporaryDir>

#include <memory>

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

class QThread;
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
