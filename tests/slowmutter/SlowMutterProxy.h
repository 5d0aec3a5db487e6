#pragma once

#include <QDBusConnection>
#include <QDBusVirtualObject>

// Mutter's DisplayConfig served on a bus of its own by the real Mutter on another: every call on
// its object is passed on at once and answered with Mutter's answer, MonitorsChanged is passed
// back. An ApplyMonitorsConfig that changes monitors (temporary or persistent) is answered only
// `holdMs` after it came in: Mutter switches while the caller is still waiting, as a Mutter busy
// past the caller's time-out does.
class SlowMutterProxy : public QDBusVirtualObject
{
    Q_OBJECT

public:
    SlowMutterProxy(const QDBusConnection &mutterBus, const QDBusConnection &clientBus, int holdMs);

    // Takes the object and the name on the client bus; false when either is taken already.
    bool serve();

    QString introspect(const QString &path) const override;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

private Q_SLOTS:
    void passSignal(const QDBusMessage &signal);

private:
    void answer(const QDBusMessage &call, const QDBusMessage &reply, qint64 afterMs);

    QDBusConnection mutter;
    QDBusConnection clients;
    int hold;
};
