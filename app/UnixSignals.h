#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP end the event loop like the tray's Exit does, so the lock
// thread is joined and the settings are written. The handler only writes one byte into a
// socket pair; the event loop reads it and emits `received`. A further signal once the program
// is ending (after a first one, or after shuttingDown()) ends it at once, by that signal.
class UnixSignals : public QObject
{
    Q_OBJECT

public:
    explicit UnixSignals(QObject *parent = nullptr);
    ~UnixSignals() override;

signals:
    void received(int signal);

public slots:
    void shuttingDown();

private:
    void readSignal();
    QSocketNotifier *notifier = nullptr;
};
