#include "Deamon.h"

#include "DisplaySettings.h"
#include "SettingsKeys.h"

#include <QDebug>
#include <QSettings>
#include <QTimer>

#include <limits>

Deamon::Deamon(QObject *parent)
    : QObject(parent), timer(new QTimer(this))
{
    connect(timer, &QTimer::timeout, this, &Deamon::update);
}

void Deamon::setDisplaySettings(DisplaySettings *ds)
{
    displaySettings = ds;
}

void Deamon::setSettings(QSettings *s)
{
    settings = s;
}

void Deamon::start()
{
    using namespace SettingsKeys;
    settings->beginGroup(DisplayGroup);
    const int height = settings->value(PelsHeight, displaySettings->currentPelsHeight()).toInt();
    const int width = settings->value(PelsWidth, displaySettings->currentPelsWidth()).toInt();
    const int bits = settings->value(BitsPerPel, displaySettings->currentBitsPerPel()).toInt();
    const int frequency =
        settings->value(DisplayFrequency, displaySettings->currentDisplayFrequency()).toInt();
    settings->endGroup();

    // Held by these values even when the catalogue has no entry for them (the mode in use at
    // start was unlisted, or the list changed): they are what the user locked.
    held = {width, height, bits, frequency};
    locked = displaySettings->firstIndexOf(held);

    lastEventRestore.invalidate();
    waiting = DisplayBackend::OutputState::Active;
    refused = false;
    timer->start(readInterval());
}

int Deamon::readInterval()
{
    using namespace SettingsKeys;
    settings->beginGroup(DeamonGroup);
    const QVariant stored = settings->value(Interval);
    settings->endGroup();

    // Through 64 bits: a 32-bit conversion would wrap a huge value into a plausible one.
    bool ok = false;
    const qlonglong wide = stored.toLongLong(&ok);
    const bool fits = ok && wide >= std::numeric_limits<int>::min() && wide <= std::numeric_limits<int>::max();
    const int msec = fits ? int(wide) : 0;
    qDebug("msec:%d", msec);
    if (fits && msec > 0) {
        // A hand-typed 1 would poll a thousand times a second (on GNOME each a D-Bus call).
        const int bounded = qBound(MinInterval, msec, MaxInterval);
        if (bounded != msec)
            qDebug().noquote() << QStringLiteral("msec: %1 is outside %2 .. %3 ms, polling every %4 ms")
                                      .arg(msec)
                                      .arg(MinInterval)
                                      .arg(MaxInterval)
                                      .arg(bounded);
        return bounded;
    }
    // 0 would poll without pause and burn a core; a negative value would never start the
    // timer while the window says locked.
    qDebug().noquote() << QStringLiteral("msec: \"%1\" is not a positive number of milliseconds, polling every %2 ms")
                              .arg(stored.toString())
                              .arg(FallbackInterval);
    return FallbackInterval;
}

void Deamon::stop()
{
    timer->stop();
}

void Deamon::update()
{
    tick();
}

void Deamon::displayChanged()
{
    if (!timer->isActive())
        return;
    refused = false;
    if (lastEventRestore.isValid() && lastEventRestore.elapsed() < timer->interval())
        return;
    if (tick())
        lastEventRestore.start();
}

bool Deamon::tick()
{
    // One read per tick: the line reports exactly what the decision is made on, and a change
    // that lands just after it is announced (displayChanged) or seen by the next tick.
    DisplayMode now;
    DisplayBackend::OutputState state = displaySettings->currentState(&now);
    const int nowIndex = state == DisplayBackend::OutputState::Active ? displaySettings->firstIndexOf(now) : -1;
    qDebug().noquote() << QStringLiteral("update():now=%1,locked=%2").arg(nowIndex).arg(locked);
    // No stored mode and none readable at start: nothing is known to hold.
    if (held == DisplayMode())
        return false;
    if (state == DisplayBackend::OutputState::Active && now == held) {
        endWait();
        return false;
    }
    // Off stays off, and a mode the output does not offer cannot be forced on it: wait for the
    // output to come back with it instead of failing on every tick. A display that cannot be
    // read at all is still asked: the platform may answer the apply.
    if (state == DisplayBackend::OutputState::Active)
        state = displaySettings->availability(held);
    if (state != DisplayBackend::OutputState::Active && state != DisplayBackend::OutputState::Unreadable) {
        waitFor(state);
        return false;
    }
    if (state == DisplayBackend::OutputState::Active)
        endWait();
    if (refused)
        return false;
    if (displaySettings->applyDisplayMode(held) == DisplayBackend::ApplyResult::Refused) {
        // Asking again every tick changes nothing (a mode the driver will not set, one that
        // needs a restart): the next change of the display may.
        refused = true;
        qDebug().noquote() << QStringLiteral("hold: %1 refuses %2, waiting for the next display change")
                                  .arg(displaySettings->outputName(), heldText());
    }
    return true;
}

void Deamon::waitFor(DisplayBackend::OutputState why)
{
    if (why == waiting)
        return;
    waiting = why;
    const QString output = displaySettings->outputName();
    QString line;
    switch (why) {
    case DisplayBackend::OutputState::Off:
        line = QStringLiteral("hold: %1 is off, waiting until it is on again").arg(output);
        break;
    case DisplayBackend::OutputState::Absent:
        line = QStringLiteral("hold: %1 is not connected, waiting for it").arg(output);
        break;
    case DisplayBackend::OutputState::NotOffered:
        line = QStringLiteral("hold: %1 does not offer %2, waiting until it does").arg(output, heldText());
        break;
    case DisplayBackend::OutputState::Unreadable:
    case DisplayBackend::OutputState::Active:
        return;
    }
    qDebug().noquote() << line;
}

void Deamon::endWait()
{
    if (waiting == DisplayBackend::OutputState::Active)
        return;
    waiting = DisplayBackend::OutputState::Active;
    qDebug().noquote() << QStringLiteral("hold: %1 offers %2 again, holding it").arg(displaySettings->outputName(), heldText());
}

QString Deamon::heldText() const
{
    return QStringLiteral("%1x%2 %3 bpp %4 Hz").arg(held.PelsWidth).arg(held.PelsHeight).arg(held.BitsPerPel).arg(held.DisplayFrequency);
}
