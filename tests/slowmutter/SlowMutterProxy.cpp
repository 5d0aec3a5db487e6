#include "SlowMutterProxy.h"

#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

namespace {
const char *const Service = "org.gnome.Mutter.DisplayConfig";
const char *const Path = "/org/gnome/Mutter/DisplayConfig";
const char *const Interface = "org.gnome.Mutter.DisplayConfig";
const uint MethodVerify = 0;

// Whether Mutter acts on this call: a verify only checks, everything else but applies only reads.
bool switches(const QDBusMessage &call)
{
    return call.member() == QLatin1String("ApplyMonitorsConfig") && call.arguments().size() > 1
        && call.arguments().at(1).toUInt() != MethodVerify;
}
} // namespace

SlowMutterProxy::SlowMutterProxy(const QDBusConnection &mutterBus, const QDBusConnection &clientBus, int holdMs)
    : mutter(mutterBus), clients(clientBus), hold(holdMs)
{
}

bool SlowMutterProxy::serve()
{
    mutter.connect(QString::fromLatin1(Service), QString::fromLatin1(Path), QString::fromLatin1(Interface),
                   QStringLiteral("MonitorsChanged"), this, SLOT(passSignal(QDBusMessage)));
    return clients.registerVirtualObject(QString::fromLatin1(Path), this)
        && clients.registerService(QString::fromLatin1(Service));
}

QString SlowMutterProxy::introspect(const QString &) const
{
    // The callers here never introspect.
    return QString();
}

bool SlowMutterProxy::handleMessage(const QDBusMessage &message, const QDBusConnection &)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(Service), message.path(),
                                                       message.interface(), message.member());
    call.setArguments(message.arguments());
    call.setAutoStartService(false);
    // Held from the moment the caller asked, however long Mutter takes itself.
    const qint64 holdFor = switches(message) ? hold : 0;
    QElapsedTimer since;
    since.start();
    auto *watcher = new QDBusPendingCallWatcher(mutter.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, message, holdFor, since](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                answer(message, w->reply(), qMax<qint64>(0, holdFor - since.elapsed()));
            });
    return true;
}

void SlowMutterProxy::answer(const QDBusMessage &call, const QDBusMessage &reply, qint64 afterMs)
{
    const QDBusMessage out = reply.type() == QDBusMessage::ReplyMessage
        ? call.createReply(reply.arguments())
        : call.createErrorReply(reply.errorName(), reply.errorMessage());
    QTimer::singleShot(afterMs, this, [this, call, out, afterMs] {
        clients.send(out);
        if (afterMs > 0) {
            std::fprintf(stderr, "slowmutter: %s method %u answered %lld ms late\n", qPrintable(call.member()),
                         call.arguments().at(1).toUInt(), static_cast<long long>(afterMs));
        }
    });
}

void SlowMutterProxy::passSignal(const QDBusMessage &signal)
{
    QDBusMessage out = QDBusMessage::createSignal(signal.path(), signal.interface(), signal.member());
    out.setArguments(signal.arguments());
    clients.send(out);
}
