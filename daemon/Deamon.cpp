#include "Deamon.h"

#include "AllowedPrograms.h"
#include "AppPlatform.h"
#include "DisplaySettings.h"
#include "MonitorIdentity.h"
#include "MonitorSettings.h"
#include "SettingsKeys.h"

#include <QDebug>
#include <QSettings>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <set>

namespace {

int numberOf(const std::vector<DisplayMode> &modes, const DisplayMode &mode)
{
    const auto it = std::find(modes.cbegin(), modes.cend(), mode);
    return it == modes.cend() ? -1 : int(it - modes.cbegin());
}

} // namespace

Deamon::Deamon(QObject *parent)
    : QObject(parent), timer(new QTimer(this)), settleTimer(new QTimer(this))
{
    connect(timer, &QTimer::timeout, this, &Deamon::update);
    settleTimer->setSingleShot(true);
    connect(settleTimer, &QTimer::timeout, this, &Deamon::update);
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
    // A missing value is the mode in use now; what is stored is held whether or not the
    // catalogue lists it (the mode in use at start was unlisted, or the list changed).
    const DisplayMode now = displaySettings->currentMode();
    Hold primary;
    primary.held = MonitorSettings::readMode(*settings, DisplayGroup, now, &primary.usable);
    primary.identity = displaySettings->monitor().identity;
    primary.connector = displaySettings->monitor().name;
    for (int n = 0; n < displaySettings->count(); ++n)
        primary.modes.push_back({displaySettings->pelsWidth(n), displaySettings->pelsHeight(n),
                                 displaySettings->bitsPerPel(n), displaySettings->displayFrequency(n)});
    if (!holds.empty() && holds.front().key.isEmpty())
        holds.front() = primary;
    else
        holds.insert(holds.begin(), primary);
    if (!primary.usable)
        sayUnusable(primary);
    loadMonitors();
    timer->start(readInterval());
    publish();
}

void Deamon::stop()
{
    if (!holds.empty() && holds.front().key.isEmpty())
        holds.front().engaged = false;
    if (!engaged())
        timer->stop();
    publish();
}

void Deamon::halt()
{
    timer->stop();
    settleTimer->stop();
    // Its notifier belongs to this thread.
    awaited.reset();
}

bool Deamon::engaged() const
{
    return std::any_of(holds.cbegin(), holds.cend(), [](const Hold &h) { return h.engaged; })
        || std::any_of(arrangements.cbegin(), arrangements.cend(), [](const ArrangementHold &a) { return a.usable; });
}

void Deamon::reloadMonitors()
{
    loadMonitors();
    // A held arrangement is looked at soon, not at the next poll: its state is on show.
    if (!arrangements.empty())
        settleTimer->start(0);
    if (!engaged())
        timer->stop();
    else if (!timer->isActive())
        timer->start(readInterval());
    publish();
}

void Deamon::loadMonitors()
{
    std::vector<Hold> kept;
    if (!holds.empty() && holds.front().key.isEmpty())
        kept.push_back(holds.front());
    // The primary's own hold is the one for its monitor, whatever else is stored for it.
    const bool primaryHeld = !kept.empty() && kept.front().engaged;
    const QString primaryKey = MonitorSettings::keyFor(displaySettings->monitor());
    for (const MonitorSettings::Stored &stored : MonitorSettings::monitors(*settings)) {
        if (!stored.locked || (primaryHeld && stored.key == primaryKey))
            continue;
        Hold hold;
        hold.key = stored.key;
        hold.identity = stored.identity.toStdString();
        hold.connector = stored.connector.toStdString();
        hold.held = stored.mode;
        hold.usable = stored.usable;
        // A hold that goes on as it was keeps what it waits for.
        const auto old = std::find_if(holds.cbegin(), holds.cend(), [&](const Hold &h) { return h.key == stored.key; });
        if (old != holds.cend() && old->held == hold.held && old->usable == hold.usable) {
            kept.push_back(*old);
            continue;
        }
        if (!hold.usable)
            sayUnusable(hold);
        else if (displaySettings->supported())
            displaySettings->backend()->readModes(hold.connector, hold.modes);
        kept.push_back(hold);
    }
    holds = std::move(kept);
    loadArrangements();

    QString bad;
    allowed = AllowedPrograms::read(*settings, &bad);
    if (!bad.isEmpty() && bad != saidBadAllowed)
        qDebug().noquote() << QStringLiteral("hold: the stored allowed programs \"%1\" are no list of program names: allowing none")
                                  .arg(bad);
    saidBadAllowed = bad;
    if (awaited && !allowed.contains(awaitedName, AppPlatform::programNameCase()))
        allowedEnded();
}

bool Deamon::stepAside()
{
    if (awaited)
        return true;
    if (allowed.isEmpty())
        return false;
    for (const AppPlatform::Program &program : AppPlatform::programs()) {
        for (const QString &name : program.names) {
            if (!allowed.contains(name, AppPlatform::programNameCase()))
                continue;
            std::unique_ptr<QObject> watch = AppPlatform::watchEnd(program.pid, [this] { allowedEnded(); });
            if (!watch)
                break; // ended meanwhile
            awaited = std::move(watch);
            awaitedName = name;
            allowedEndedAt.invalidate();
            qDebug().noquote() << QStringLiteral("hold: %1 (%2) is allowed to change the mode, stepping aside until it ends")
                                      .arg(name)
                                      .arg(program.pid);
            return true;
        }
    }
    return false;
}

void Deamon::allowedEnded()
{
    // No longer allowed meanwhile, the watch may still report before it goes.
    if (!awaited)
        return;
    // Called from the watch's own signal: it goes once that has returned.
    awaited.release()->deleteLater();
    qDebug().noquote() << QStringLiteral("hold: %1 has ended, putting back what is not as held once the display is still")
                              .arg(awaitedName);
    awaitedName.clear();
    std::vector<DisplayOutput> outputs;
    const bool readable = displaySettings->supported() && displaySettings->backend()->readOutputs(outputs);
    settlingConfiguration = readable ? outputs : std::vector<DisplayOutput>();
    settledSince.start();
    allowedEndedAt.start();
    settleTimer->start(SettleMs);
    publish();
}

bool Deamon::settling(const std::vector<DisplayOutput> &outputs, bool readable)
{
    if (!allowedEndedAt.isValid())
        return false;
    // The program may put its own mode back as it ends, or the desktop its layout, in steps.
    const std::vector<DisplayOutput> configuration = readable ? outputs : std::vector<DisplayOutput>();
    if (!sameConfiguration(configuration, settlingConfiguration)) {
        settlingConfiguration = configuration;
        settledSince.start();
    }
    const qint64 still = settledSince.elapsed();
    if (still < SettleMs && allowedEndedAt.elapsed() < MaxSettleMs) {
        settleTimer->start(int(SettleMs - still));
        return true;
    }
    allowedEndedAt.invalidate();
    return false;
}

void Deamon::beginTrial(const QString &monitorKey)
{
    trials.append(monitorKey);
}

void Deamon::endTrial(const QString &monitorKey)
{
    trials.removeOne(monitorKey);
    // What drifted meanwhile is looked at once the display has been still.
    if (!trials.contains(monitorKey))
        displayChanged();
}

void Deamon::loadArrangements()
{
    std::vector<ArrangementHold> kept;
    for (const Arrangement &stored : Arrangement::load(*settings)) {
        if (!stored.held)
            continue;
        ArrangementHold hold;
        hold.held = stored;
        hold.usable = stored.usable();
        // One that goes on as it was keeps its count and what it waits for.
        for (const ArrangementHold &old : arrangements) {
            if (old.held.key == stored.key && old.held.text() == stored.text())
                hold = old;
        }
        if (!hold.usable)
            qDebug().noquote() << QStringLiteral("hold: the stored arrangement %1 cannot be put back: holding nothing there")
                                      .arg(stored.key);
        kept.push_back(hold);
    }
    arrangements = std::move(kept);
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

void Deamon::update()
{
    tick(false);
}

void Deamon::displayChanged()
{
    if (!timer->isActive() || !engaged())
        return;
    tick(true);
}

void Deamon::tick(bool announced)
{
    // One read of the whole configuration per tick, however many monitors are held: each line
    // reports exactly what the decision is made on, and a change that lands just after it is
    // announced (displayChanged) or seen by the next tick.
    std::vector<DisplayOutput> outputs;
    const bool readable = displaySettings->supported() && displaySettings->backend()->readOutputs(outputs);
    if (settling(outputs, readable)) {
        publish();
        return;
    }
    std::vector<Hold *> drifted;
    std::set<std::string> taken;
    for (Hold &hold : holds) {
        hold.asideNow = false;
        if (wantsRestore(hold, outputs, readable, announced) && taken.insert(hold.connector).second)
            drifted.push_back(&hold);
    }
    // Only what drifted makes the programs be looked at, before it is put back.
    if (!drifted.empty() && stepAside()) {
        for (Hold *hold : drifted)
            hold->asideNow = true;
        drifted.clear();
    }
    if (!drifted.empty() && displaySettings->supported())
        restore(drifted, announced);
    if (readable && !arrangements.empty()) {
        // The modes just put back are read anew rather than restored twice.
        if (!drifted.empty() && !displaySettings->backend()->readOutputs(outputs))
            outputs.clear();
        holdArrangement(outputs);
    }
    publish();
}

bool Deamon::sameConfiguration(const std::vector<DisplayOutput> &a, const std::vector<DisplayOutput> &b)
{
    return std::equal(a.cbegin(), a.cend(), b.cbegin(), b.cend(), [](const DisplayOutput &x, const DisplayOutput &y) {
        return x.name == y.name && x.identity == y.identity && x.hasSerial == y.hasSerial && x.state == y.state
            && x.current == y.current && x.x == y.x && x.y == y.y && x.transform == y.transform && x.scale == y.scale
            && x.primary == y.primary;
    });
}

void Deamon::holdArrangement(const std::vector<DisplayOutput> &outputs)
{
    const bool changed = !stillSince.isValid() || !sameConfiguration(outputs, lastConfiguration);
    if (changed) {
        lastConfiguration = outputs;
        stillSince.start();
    }
    // The set is the monitors on and their identities: the same configuration, the same set.
    const QString set = changed ? Arrangement::setKey(outputs) : lastSet;
    const bool setChanged = set != lastSet;
    lastSet = set;
    for (ArrangementHold &hold : arrangements) {
        if (changed)
            hold.inPlace = false;
        if (!hold.usable) {
            hold.state = QStringLiteral("unusable");
            continue;
        }
        if (hold.held.key != set) {
            // Another set of monitors: nothing to do, and a fight given up may start afresh.
            hold.state = QStringLiteral("waiting");
            hold.givenUp = false;
            hold.undone = 0;
            hold.refused = false;
            continue;
        }
        if (setChanged) {
            hold.givenUp = false;
            hold.undone = 0;
        }
        if (std::any_of(trials.cbegin(), trials.cend(), [&](const QString &k) { return hold.held.contains(k); }))
            continue;
        // As held in this very configuration already: nothing to compare on a quiet tick.
        if (hold.inPlace)
            continue;
        const std::vector<OutputChange> changes = hold.held.changesFrom(outputs, displaySettings->backend()->features());
        hold.inPlace = changes.empty();
        if (changes.empty()) {
            hold.state = QStringLiteral("held");
            hold.refused = false;
            continue;
        }
        if (hold.givenUp || (hold.refused && sameConfiguration(outputs, hold.refusedIn)))
            continue;
        if (stepAside()) {
            hold.state = QStringLiteral("stepped aside");
            continue;
        }
        // Let the desktop finish its own steps first, then apply once.
        const qint64 still = stillSince.elapsed();
        if (still < SettleMs) {
            if (!settleTimer->isActive())
                settleTimer->start(int(SettleMs - still));
            continue;
        }
        // At most one restore per set per interval; the poll or the next settle comes back.
        if (hold.restoredAt.isValid() && hold.restoredAt.elapsed() < timer->interval()) {
            if (!settleTimer->isActive())
                settleTimer->start(int(timer->interval() - hold.restoredAt.elapsed()));
            continue;
        }
        restoreArrangement(hold, outputs);
    }
}

void Deamon::restoreArrangement(ArrangementHold &hold, const std::vector<DisplayOutput> &outputs)
{
    // Drifted again soon after the last restore: that one was undone, one more round of a fight.
    const bool soon = hold.restoredAt.isValid() && hold.restoredAt.elapsed() < 2 * timer->interval() + SettleMs;
    hold.undone = soon ? hold.undone + 1 : 0;
    if (hold.undone >= FightRestores) {
        hold.givenUp = true;
        hold.state = QStringLiteral("given up");
        qDebug().noquote() << QStringLiteral("hold: the arrangement of %1 monitors is undone after every restore, "
                                             "giving up until the monitors change")
                                  .arg(hold.held.monitors.size());
        return;
    }
    const std::vector<OutputChange> changes = hold.held.changesFrom(outputs, displaySettings->backend()->features());
    qDebug().noquote() << QStringLiteral("hold: putting back the arrangement of %1").arg(hold.held.text());
    const DisplayBackend::ApplyResult result = displaySettings->backend()->apply(changes);
    hold.restoredAt.start();
    if (result == DisplayBackend::ApplyResult::Applied) {
        hold.lastRestore = QDateTime::currentDateTimeUtc();
        hold.state = QStringLiteral("held");
    } else if (result == DisplayBackend::ApplyResult::Refused || result == DisplayBackend::ApplyResult::NotOffered) {
        hold.refused = true;
        hold.refusedIn = outputs;
        hold.state = QStringLiteral("refused");
        qDebug().noquote() << QStringLiteral("hold: the arrangement of %1 monitors is refused, waiting for the next display change")
                                  .arg(hold.held.monitors.size());
    }
}

bool Deamon::wantsRestore(Hold &hold, const std::vector<DisplayOutput> &outputs, bool readable, bool announced)
{
    using State = DisplayBackend::OutputState;
    const DisplayOutput *o = readable ? MonitorIdentity::find(outputs, hold.identity, hold.connector) : nullptr;
    State state = !readable ? State::Unreadable : !o ? State::Absent : DisplayBackend::stateOf(outputs, o->name);
    if (o)
        hold.connector = o->name;
    const DisplayMode now = state == State::Active ? o->current : DisplayMode();
    const int nowIndex = state == State::Active ? numberOf(hold.modes, now) : -1;
    const QString where = hold.key.isEmpty() ? QString() : QString::fromStdString(hold.connector);
    qDebug().noquote() << QStringLiteral("update(%1):now=%2,locked=%3")
                              .arg(where)
                              .arg(nowIndex)
                              .arg(numberOf(hold.modes, hold.held));
    // Values that are no display mode hold nothing.
    if (!hold.usable || !hold.engaged || trials.contains(hold.key))
        return false;
    if (state == State::Active && now == hold.held) {
        endWait(hold);
        hold.refused = false;
        hold.failing = false;
        return false;
    }
    if (announced && hold.lastEventRestore.isValid() && hold.lastEventRestore.elapsed() < timer->interval())
        return false;
    // Off stays off, and a mode the monitor does not offer cannot be forced on it: wait for it
    // to come back with it instead of failing on every tick. A display that cannot be read at
    // all is still asked: the platform may answer the apply.
    std::vector<DisplayMode> listed;
    if (state == State::Active && displaySettings->backend()->readModes(o->name, listed)) {
        int number = 0;
        if (DisplayBackend::check(o, listed, hold.held, &number) != DisplayBackend::ApplyResult::Applied)
            state = State::NotOffered;
    }
    if (state != State::Active && state != State::Unreadable) {
        waitFor(hold, state);
        return false;
    }
    if (state == State::Active)
        endWait(hold);
    // A refusal is asked again only in another configuration of the monitor, not on every
    // announcement: some compositors announce after every answer, failed ones too.
    if (hold.refused && now == hold.refusedIn && listed == hold.refusedModes)
        return false;
    hold.refused = false;
    hold.refusedIn = now;
    hold.refusedModes = listed;
    return true;
}

void Deamon::restore(const std::vector<Hold *> &drifted, bool announced)
{
    std::vector<ModeChange> changes;
    for (Hold *hold : drifted) {
        qDebug().noquote() << DisplaySettings::applyLine(hold->held);
        changes.push_back({hold->connector, hold->held});
    }
    // Counted from the request, not the answer: under Wine the answer waits until every window
    // has had WM_DISPLAYCHANGE (up to 1.8 s seen with three outputs), and the next switch
    // would be taken for this restore's echo.
    if (announced) {
        for (Hold *hold : drifted)
            hold->lastEventRestore.start();
    }
    const DisplayBackend::ApplyResult result = displaySettings->backend()->applyModes(changes);
    for (Hold *hold : drifted)
        hold->failing = result != DisplayBackend::ApplyResult::Applied && result != DisplayBackend::ApplyResult::Refused;
    if (result == DisplayBackend::ApplyResult::Applied) {
        for (Hold *hold : drifted)
            hold->lastRestore = QDateTime::currentDateTimeUtc();
    } else if (result == DisplayBackend::ApplyResult::Refused) {
        // Which one the platform refused: each on its own, so that the others are still held.
        if (drifted.size() == 1) {
            noteRefusal(*drifted.front());
        } else {
            for (Hold *hold : drifted) {
                const DisplayBackend::ApplyResult alone = displaySettings->backend()->applyModes({{hold->connector, hold->held}});
                if (alone == DisplayBackend::ApplyResult::Refused)
                    noteRefusal(*hold);
                else if (alone == DisplayBackend::ApplyResult::Applied)
                    hold->lastRestore = QDateTime::currentDateTimeUtc();
            }
        }
    }
}

void Deamon::noteRefusal(Hold &hold)
{
    // Asking again every tick changes nothing (a mode the driver will not set, one that needs
    // a restart): another configuration of the monitor may.
    hold.refused = true;
    qDebug().noquote() << QStringLiteral("hold: %1 refuses %2, waiting for the next display change")
                              .arg(QString::fromStdString(hold.connector), MonitorSettings::text(hold.held));
}

void Deamon::waitFor(Hold &hold, DisplayBackend::OutputState why)
{
    if (why == hold.waiting)
        return;
    hold.waiting = why;
    const QString output = QString::fromStdString(hold.connector);
    QString line;
    switch (why) {
    case DisplayBackend::OutputState::Off:
        line = QStringLiteral("hold: %1 is off, waiting until it is on again").arg(output);
        break;
    case DisplayBackend::OutputState::Absent:
        line = QStringLiteral("hold: %1 is not connected, waiting for it").arg(output);
        break;
    case DisplayBackend::OutputState::NotOffered:
        line = QStringLiteral("hold: %1 does not offer %2, waiting until it does").arg(output, MonitorSettings::text(hold.held));
        break;
    case DisplayBackend::OutputState::Unreadable:
    case DisplayBackend::OutputState::Active:
        return;
    }
    qDebug().noquote() << line;
}

void Deamon::endWait(Hold &hold)
{
    if (hold.waiting == DisplayBackend::OutputState::Active)
        return;
    hold.waiting = DisplayBackend::OutputState::Active;
    qDebug().noquote() << QStringLiteral("hold: %1 offers %2 again, holding it")
                              .arg(QString::fromStdString(hold.connector), MonitorSettings::text(hold.held));
}

void Deamon::sayUnusable(const Hold &hold) const
{
    qDebug().noquote() << QStringLiteral("hold: the stored mode %1 x %2, %3 bpp, %4 Hz of %5 is no display mode: holding nothing there")
                              .arg(hold.held.PelsWidth)
                              .arg(hold.held.PelsHeight)
                              .arg(hold.held.BitsPerPel)
                              .arg(hold.held.DisplayFrequency)
                              .arg(QString::fromStdString(hold.connector));
}

void Deamon::publish()
{
    using State = DisplayBackend::OutputState;
    QList<HoldStatus> now;
    for (const Hold &hold : holds) {
        if (!hold.engaged)
            continue;
        HoldStatus s;
        s.connector = QString::fromStdString(hold.connector);
        s.identity = QString::fromStdString(hold.identity);
        s.primary = hold.key.isEmpty();
        s.mode = hold.held;
        s.lastRestore = hold.lastRestore;
        if (hold.asideNow && awaited)
            s.steppedAsideFor = awaitedName;
        s.state = !hold.usable                         ? QStringLiteral("unusable")
            : !s.steppedAsideFor.isEmpty()           ? QStringLiteral("stepped aside")
            : hold.waiting == State::Off             ? QStringLiteral("off")
            : hold.waiting == State::Absent          ? QStringLiteral("unplugged")
            : hold.waiting == State::NotOffered      ? QStringLiteral("not offered")
            : hold.refused                           ? QStringLiteral("refused")
            : hold.failing                           ? QStringLiteral("failing")
                                                     : QStringLiteral("held");
        now.append(s);
    }
    QList<ArrangementStatus> arranged;
    for (const ArrangementHold &hold : arrangements) {
        ArrangementStatus a;
        a.key = hold.held.key;
        for (const Arrangement::Monitor &m : hold.held.monitors)
            a.connectors << m.connector;
        a.state = hold.state;
        if (hold.state == QLatin1String("stepped aside"))
            a.steppedAsideFor = awaitedName;
        a.lastRestore = hold.lastRestore;
        arranged.append(a);
    }
    QMutexLocker locked(&statusLock);
    published = now;
    publishedArrangements = arranged;
}

QList<Deamon::ArrangementStatus> Deamon::arrangementStatus() const
{
    QMutexLocker locked(&statusLock);
    return publishedArrangements;
}

QList<Deamon::HoldStatus> Deamon::status() const
{
    QMutexLocker locked(&statusLock);
    return published;
}
