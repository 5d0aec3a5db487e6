#include "ControlCommand.h"

#include "AllowedPrograms.h"
#include "AppPlatform.h"
#include "ControlProtocol.h"
#include "DisplayPlatform.h"
#include "Arrangement.h"
#include "DisplaySettings.h"
#include "HoldKeeper.h"
#include "MonitorSettings.h"
#include "SettingsKeys.h"
#include "SingleInstance.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

namespace {
// One line from standard input within `ms`; false on no answer, end of input or an interrupt.
// The reader is left behind when nobody answers: the program ends soon after.
bool readLine(int ms, std::string *line)
{
    struct Shared
    {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool got = false;
        std::string line;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared] {
        std::string text;
        const bool got = bool(std::getline(std::cin, text));
        std::lock_guard<std::mutex> locked(shared->mutex);
        shared->finished = true;
        shared->got = got;
        shared->line = text;
        shared->done.notify_all();
    }).detach();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> locked(shared->mutex);
    while (!shared->finished && !AppPlatform::consoleInterrupted() && std::chrono::steady_clock::now() < deadline)
        shared->done.wait_for(locked, std::chrono::milliseconds(100));
    if (!shared->finished || AppPlatform::consoleInterrupted() || !shared->got)
        return false;
    *line = shared->line;
    return true;
}

struct ModeWanted
{
    int width = 0;
    int height = 0;
    int hz = -1; // -1: any
    int bpp = -1;
};

bool parseMode(const QString &text, ModeWanted *wanted)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,5})x([0-9]{1,5})(?:@([0-9]{1,4}))?(?::([0-9]{1,2}))?$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return false;
    wanted->width = m.captured(1).toInt();
    wanted->height = m.captured(2).toInt();
    if (m.hasCaptured(3))
        wanted->hz = m.captured(3).toInt();
    if (m.hasCaptured(4))
        wanted->bpp = m.captured(4).toInt();
    return true;
}

// The first listed mode with those values, as a lock matches them; -1 when none.
int firstMatch(const DisplaySettings &catalogue, const ModeWanted &w)
{
    for (int i = 0; i < catalogue.count(); ++i) {
        if (catalogue.pelsWidth(i) == w.width && catalogue.pelsHeight(i) == w.height
            && (w.hz < 0 || catalogue.displayFrequency(i) == w.hz) && (w.bpp < 0 || catalogue.bitsPerPel(i) == w.bpp))
            return i;
    }
    return -1;
}

// "at 1920,0", then the turn and the scale where they are not the plain ones.
QString placeText(const DisplayOutput &o)
{
    static const char *const turns[] = {"", "rotated 90", "rotated 180", "rotated 270",
                                        "flipped", "flipped 90", "flipped 180", "flipped 270"};
    QString text = QStringLiteral("at %1,%2").arg(o.x).arg(o.y);
    if (o.transform > Normal && o.transform <= Flipped270)
        text += QLatin1Char(' ') + QLatin1String(turns[o.transform]);
    if (std::abs(o.scale - 1.0) > 1e-4)
        text += QStringLiteral(" scale %1").arg(o.scale);
    return text;
}

// A hold's state; "stepped aside for NAME" while an allowed program runs.
QString stateText(const QJsonObject &hold)
{
    const QString state = hold.value("state").toString();
    const QString program = hold.value("for").toString();
    return program.isEmpty() ? state : QStringLiteral("%1 for %2").arg(state, program);
}

QString padded(const QStringList &cells, const QList<int> &widths)
{
    QString line;
    for (int i = 0; i < cells.size(); ++i)
        line += i + 1 < cells.size() ? cells.at(i).leftJustified(widths.at(i) + 2) : cells.at(i);
    return line;
}
} // namespace

ControlCommand::ControlCommand()
    : settings(SettingsKeys::Organization, SettingsKeys::Application), instance(std::make_unique<SingleInstance>())
{
}

ControlCommand::~ControlCommand() = default;

QString ControlCommand::usage()
{
    return tr("Usage: velmoractl [--json] list [MONITOR]\n"
              "       velmoractl [--json] status\n"
              "       velmoractl hold MONITOR [MODE] [--yes]\n"
              "       velmoractl release MONITOR | --all\n"
              "       velmoractl hold --arrangement | release --arrangement\n"
              "       velmoractl allow PROGRAM | disallow PROGRAM | [--json] allowed\n"
              "MONITOR: a connector (DP-1, DUMMY1, DISPLAY2), an identity as list prints it, or primary.\n"
              "MODE: WIDTHxHEIGHT[@HZ][:BPP], e.g. 1920x1080@60 or 1920x1080@60:32.\n"
              "PROGRAM: an executable's file name, e.g. eldenring.exe: while it runs, nothing is put back.");
}

int ControlCommand::run(const QStringList &arguments)
{
    QStringList words;
    bool all = false;
    for (const QString &a : arguments) {
        if (a == QLatin1String("--json"))
            json = true;
        else if (a == QLatin1String("--yes"))
            yes = true;
        else if (a == QLatin1String("--all"))
            all = true;
        else if (a == QLatin1String("--arrangement"))
            arrangement = true;
        else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            say(usage());
            return Done;
        } else if (a == QLatin1String("--version")) {
            say(QStringLiteral("velmoractl " VELMORA_VERSION));
            return Done;
        } else if (a.startsWith(QLatin1String("--")))
            return usageError(tr("unknown option %1").arg(a));
        else
            words << a;
    }
    if (words.isEmpty())
        return usageError(tr("no command given"));
    const QString command = words.takeFirst();
    if (arrangement) {
        if (command == QLatin1String("hold") && words.isEmpty() && !yes && !all && !json)
            return holdArrangement();
        if (command == QLatin1String("release") && words.isEmpty() && !yes && !all && !json)
            return releaseArrangement();
        return usageError(tr("wrong arguments for %1").arg(command));
    }
    if (command == QLatin1String("list") && words.size() <= 1 && !yes && !all)
        return list(words.value(0));
    if (command == QLatin1String("status") && words.isEmpty() && !yes && !all)
        return status();
    if (command == QLatin1String("hold") && (words.size() == 1 || words.size() == 2) && !all && !json)
        return hold(words.at(0), words.value(1));
    if ((command == QLatin1String("allow") || command == QLatin1String("disallow")) && words.size() == 1 && !yes
        && !all && !json)
        return allow(words.at(0), command == QLatin1String("allow"));
    if (command == QLatin1String("allowed") && words.isEmpty() && !yes && !all)
        return listAllowed();
    if (command == QLatin1String("release") && !yes && !json) {
        if (all && words.isEmpty())
            return releaseAll();
        if (!all && words.size() == 1)
            return release(words.at(0));
    }
    return usageError(tr("wrong arguments for %1").arg(command));
}

bool ControlCommand::readDisplay()
{
    backend = DisplayPlatform::create();
    if (!backend) {
        fail(tr("no display platform in this session"));
        return false;
    }
    if (!backend->readOutputs(outputs)) {
        fail(tr("the display cannot be read"));
        return false;
    }
    return true;
}

bool ControlCommand::resolve(const QString &name, Target *target, bool stored)
{
    const DisplayOutput *primary = nullptr;
    for (const DisplayOutput &o : outputs) {
        if (!primary && o.primary)
            primary = &o;
    }
    for (const DisplayOutput &o : outputs) {
        if (!primary && o.state == DisplayOutput::State::Active)
            primary = &o;
    }
    const DisplayOutput *found = nullptr;
    if (name == QLatin1String("primary"))
        found = primary;
    for (const DisplayOutput &o : outputs) {
        const QString connector = QString::fromStdString(o.name);
        if (!found && (connector == name || connector == QStringLiteral("\\\\.\\") + name))
            found = &o;
    }
    for (const DisplayOutput &o : outputs) {
        if (!found && !o.identity.empty() && QString::fromStdString(o.identity) == name)
            found = &o;
    }
    target->monitor = name;
    if (found) {
        target->output = *found;
        target->connected = true;
        target->primary = found == primary;
        return true;
    }
    if (stored) {
        for (const MonitorSettings::Stored &s : MonitorSettings::monitors(settings)) {
            if (s.connector == name || s.connector == QStringLiteral("\\\\.\\") + name || s.identity == name) {
                target->output.name = s.connector.toStdString();
                target->output.identity = s.identity.toStdString();
                return true;
            }
        }
    }
    fail(tr("no monitor %1 (velmoractl list shows them)").arg(name));
    return false;
}

bool ControlCommand::storedHold(const Target &target, DisplayMode *mode)
{
    bool usable = false;
    if (target.primary) {
        *mode = MonitorSettings::readMode(settings, SettingsKeys::DisplayGroup, DisplayMode(), &usable);
        return usable;
    }
    const QString key = MonitorSettings::keyFor(target.output);
    for (const MonitorSettings::Stored &s : MonitorSettings::monitors(settings)) {
        if (s.key == key && s.locked && s.usable) {
            *mode = s.mode;
            return true;
        }
    }
    return false;
}

void ControlCommand::storeHold(const Target &target, const DisplayMode &mode, bool locked)
{
    if (target.primary) {
        if (locked)
            MonitorSettings::writeMode(settings, SettingsKeys::DisplayGroup, mode);
    } else if (target.connected) {
        MonitorSettings::store(settings, target.output, mode, locked);
    } else {
        for (const MonitorSettings::Stored &s : MonitorSettings::monitors(settings)) {
            if (s.connector == QString::fromStdString(target.output.name))
                settings.setValue(MonitorSettings::groupFor(s.key) + QLatin1Char('/') + SettingsKeys::Locked, locked);
        }
    }
    settings.sync();
}

int ControlCommand::list(const QString &monitor)
{
    if (!readDisplay())
        return Failed;
    if (!monitor.isEmpty()) {
        Target target;
        if (!resolve(monitor, &target, false))
            return Failed;
        return listModes(target);
    }
    QJsonArray all;
    QList<QStringList> rows;
    for (const DisplayOutput &o : outputs) {
        Target target;
        resolve(QString::fromStdString(o.name), &target, false);
        const bool on = o.state == DisplayOutput::State::Active;
        DisplayMode held;
        const bool isHeld = storedHold(target, &held);
        QJsonObject entry{{"monitor", QString::fromStdString(o.name)},
                          {"identity", QString::fromStdString(o.identity)},
                          {"name", QString::fromStdString(o.label)},
                          {"on", on},
                          {"primary", target.primary},
                          {"current", on ? QJsonValue(ControlProtocol::modeJson(o.current)) : QJsonValue()},
                          {"x", on ? QJsonValue(o.x) : QJsonValue()},
                          {"y", on ? QJsonValue(o.y) : QJsonValue()},
                          {"transform", on ? QJsonValue(o.transform) : QJsonValue()},
                          {"scale", on ? QJsonValue(o.scale) : QJsonValue()},
                          {"held", isHeld ? QJsonValue(ControlProtocol::modeJson(held)) : QJsonValue()}};
        all.append(entry);
        rows << QStringList{QString::fromStdString(o.name),
                            o.identity.empty() ? QStringLiteral("-") : QString::fromStdString(o.identity),
                            on ? tr("on") : tr("off"), target.primary ? tr("primary") : QStringLiteral("-"),
                            on ? ControlProtocol::modeText(o.current) : QStringLiteral("-"),
                            on ? placeText(o) : QStringLiteral("-"),
                            isHeld ? tr("held %1").arg(ControlProtocol::modeText(held)) : QString()};
    }
    if (json) {
        say(QString::fromUtf8(QJsonDocument(QJsonObject{{"monitors", all}}).toJson(QJsonDocument::Indented)).trimmed());
        return Done;
    }
    QList<int> widths(7, 0);
    for (const QStringList &row : std::as_const(rows)) {
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths.at(i), int(row.at(i).size()));
    }
    for (const QStringList &row : std::as_const(rows))
        say(padded(row, widths).trimmed());
    return Done;
}

int ControlCommand::listModes(const Target &target)
{
    const DisplaySettings catalogue(backend, target.output);
    const int current = catalogue.currentIndex();
    QJsonArray modes;
    for (int i = 0; i < catalogue.count(); ++i) {
        QJsonObject mode = ControlProtocol::modeJson({catalogue.pelsWidth(i), catalogue.pelsHeight(i),
                                                      catalogue.bitsPerPel(i), catalogue.displayFrequency(i)});
        mode.insert("number", i);
        mode.insert("current", i == current);
        modes.append(mode);
        if (!json)
            say(QStringLiteral("%1: %2 %3 %4 %5%6")
                    .arg(i)
                    .arg(catalogue.pelsWidth(i))
                    .arg(catalogue.pelsHeight(i))
                    .arg(catalogue.bitsPerPel(i))
                    .arg(catalogue.displayFrequency(i))
                    .arg(i == current ? QStringLiteral(" *") : QString()));
    }
    if (json)
        say(QString::fromUtf8(QJsonDocument(QJsonObject{{"monitor", QString::fromStdString(target.output.name)},
                                                        {"modes", modes}})
                                  .toJson(QJsonDocument::Indented))
                .trimmed());
    return Done;
}

bool ControlCommand::askVelmora(const QByteArray &request, QByteArray *answer, int *exit)
{
    switch (instance->ask(request, answer)) {
    case SingleInstance::Asked::Answered:
        return true;
    case SingleInstance::Asked::NotRunning:
        *exit = NotRunning;
        return false;
    case SingleInstance::Asked::Unreachable:
        break;
    }
    *exit = fail(tr("Velmora runs but does not answer"));
    return false;
}

int ControlCommand::tellVelmora(const QByteArray &request)
{
    QByteArray answer;
    int exit = Done;
    if (!askVelmora(request, &answer, &exit))
        return exit;
    QByteArray why;
    if (!ControlProtocol::isOk(answer, &why))
        return fail(tr("Velmora refused: %1").arg(QString::fromUtf8(why)));
    return Done;
}

int ControlCommand::status()
{
    QByteArray answer;
    int exit = Done;
    if (!askVelmora(ControlProtocol::encode({ControlProtocol::Verb::Status, QString(), DisplayMode()}), &answer, &exit)) {
        if (exit == NotRunning) {
            if (json)
                say(QStringLiteral("{\"running\": false}"));
            std::fprintf(stderr, "%s\n", qPrintable(tr("velmoractl: Velmora is not running")));
        }
        return exit;
    }
    QByteArray text;
    const QJsonObject doc = QJsonDocument::fromJson(ControlProtocol::isOk(answer, &text) ? text : QByteArray()).object();
    if (doc.isEmpty())
        return fail(tr("Velmora's answer is not understood"));
    if (json) {
        QJsonObject out = doc;
        out.insert("running", true);
        say(QString::fromUtf8(QJsonDocument(out).toJson(QJsonDocument::Indented)).trimmed());
        return Done;
    }
    const QJsonArray holds = doc.value("holds").toArray();
    const QJsonArray arrangements = doc.value("arrangements").toArray();
    if (holds.isEmpty() && arrangements.isEmpty())
        say(tr("Velmora runs and holds nothing"));
    for (const QJsonValue &v : arrangements) {
        const QJsonObject a = v.toObject();
        QStringList monitors;
        for (const QJsonValue &m : a.value("monitors").toArray())
            monitors << m.toString();
        const QDateTime last = QDateTime::fromString(a.value("lastRestore").toString(), Qt::ISODate);
        say(QStringLiteral("%1  %2  %3")
                .arg(tr("arrangement of %1").arg(monitors.join(QLatin1Char('+'))), stateText(a),
                     last.isValid() ? tr("last restored %1").arg(last.toLocalTime().toString(Qt::ISODate))
                                    : tr("never restored")));
    }
    for (const QJsonValue &v : holds) {
        const QJsonObject h = v.toObject();
        const QDateTime last = QDateTime::fromString(h.value("lastRestore").toString(), Qt::ISODate);
        say(QStringLiteral("%1  %2  %3  %4")
                .arg(h.value("monitor").toString() + (h.value("primary").toBool() ? tr(" (primary)") : QString()),
                     ControlProtocol::modeText(ControlProtocol::modeFromJson(h.value("mode").toObject())),
                     stateText(h),
                     last.isValid() ? tr("last restored %1").arg(last.toLocalTime().toString(Qt::ISODate))
                                    : tr("never restored")));
    }
    return Done;
}

int ControlCommand::holdNow(const Target &target, const DisplayMode &mode)
{
    const QString connector = QString::fromStdString(target.output.name);
    const int told = tellVelmora(ControlProtocol::encode({ControlProtocol::Verb::Hold, connector, mode}));
    if (told == Done)
        say(tr("%1 held at %2").arg(connector, ControlProtocol::modeText(mode)));
    if (told != NotRunning)
        return told;
    storeHold(target, mode, true);
    say(tr("%1 held at %2").arg(connector, ControlProtocol::modeText(mode)));
    // "-d" holds the primary in the mode it is in then, not in the stored one.
    say(target.primary ? tr("Velmora is not running; started with -d it holds %1, the primary monitor, in the mode it is in then").arg(connector)
                       : tr("Velmora is not running; the hold starts with it (velmora -d)"));
    return Done;
}

int ControlCommand::hold(const QString &monitor, const QString &modeText)
{
    ModeWanted wanted;
    if (!modeText.isEmpty() && !parseMode(modeText, &wanted))
        return usageError(tr("%1 is no MODE (WIDTHxHEIGHT[@HZ][:BPP])").arg(modeText));
    if (!readDisplay())
        return Failed;
    Target target;
    if (!resolve(monitor, &target, false))
        return Failed;
    const QString connector = QString::fromStdString(target.output.name);
    DisplaySettings catalogue(backend, target.output);
    DisplayMode previous;
    if (catalogue.currentState(&previous) != DisplayBackend::OutputState::Active)
        return fail(tr("%1 is off or cannot be read: nothing is held").arg(connector));
    if (modeText.isEmpty())
        return holdNow(target, previous);

    const int index = firstMatch(catalogue, wanted);
    if (index < 0)
        return fail(tr("%1 does not offer %2 (velmoractl list %3 shows what it does)").arg(connector, modeText, monitor));
    const DisplayMode mode{catalogue.pelsWidth(index), catalogue.pelsHeight(index), catalogue.bitsPerPel(index),
                           catalogue.displayFrequency(index)};
    if (mode == previous)
        return holdNow(target, mode);

    // A running Velmora steps aside for the trial: its holds of the monitor, alone or in an
    // arrangement, stay as they were, and come back by themselves should this program die.
    const int told = tellVelmora(ControlProtocol::encode(
        {ControlProtocol::Verb::TrialBegin, connector, DisplayMode(), DefaultQuestionMs + TrialMarginMs}));
    if (told != Done && told != NotRunning)
        return told;
    auto endTrial = [&] {
        if (told == Done)
            tellVelmora(ControlProtocol::encode({ControlProtocol::Verb::TrialEnd, connector, DisplayMode()}));
    };
    HoldKeeper keeper(settings);
    HoldKeeper::TrialSteps steps;
    steps.keep = [this] { return yes || keepAnswered(); };
    const HoldKeeper::TrialOutcome outcome = keeper.tryMode(catalogue, index, steps);
    if (outcome == HoldKeeper::TrialOutcome::Kept) {
        const int held = holdNow(target, mode);
        endTrial();
        return held;
    }
    endTrial();
    if (outcome == HoldKeeper::TrialOutcome::NotReverted) {
        AppPlatform::consoleUndone();
        return fail(tr("not kept, and %1 did not go back to %2").arg(connector, ControlProtocol::modeText(previous)));
    }
    if (outcome == HoldKeeper::TrialOutcome::Reverted) {
        AppPlatform::consoleUndone();
        return fail(tr("not kept: %1 is back in %2, nothing new is held").arg(connector, ControlProtocol::modeText(previous)));
    }
    return fail(tr("the display refused %1 on %2").arg(ControlProtocol::modeText(mode), connector));
}

bool ControlCommand::keepAnswered()
{
    m_asked = true;
    // Ctrl-C, a closed terminal or a kill during the question answer it "no".
    AppPlatform::catchConsoleInterrupts();
    std::fprintf(stderr, "%s", qPrintable(tr("Keep this mode? [y/N] ")));
    std::fflush(stderr);
    std::string line;
    const bool got = readLine(DefaultQuestionMs, &line);
    if (!got)
        std::fprintf(stderr, "\n");
    const QString answer = QString::fromLocal8Bit(line.c_str()).trimmed().toLower();
    return got && (answer == QLatin1String("y") || answer == QLatin1String("yes"));
}

int ControlCommand::release(const QString &monitor)
{
    if (!readDisplay())
        return Failed;
    Target target;
    if (!resolve(monitor, &target, true))
        return Failed;
    const QString connector = QString::fromStdString(target.output.name);
    // An identity goes as it is: the monitor it names may not be on the connector it was.
    const bool byIdentity = !target.output.identity.empty() && QString::fromStdString(target.output.identity) == monitor;
    const int told = tellVelmora(ControlProtocol::encode({ControlProtocol::Verb::Release, byIdentity ? monitor : connector, DisplayMode()}));
    if (told == Done)
        say(tr("%1 let go").arg(connector));
    if (told != NotRunning)
        return told;
    if (target.primary) {
        say(tr("Velmora is not running; it holds %1, the primary monitor, again when it starts with -d").arg(connector));
        return Done;
    }
    storeHold(target, DisplayMode(), false);
    say(tr("%1 let go").arg(connector));
    return Done;
}

int ControlCommand::releaseAll()
{
    const int told = tellVelmora(ControlProtocol::encode({ControlProtocol::Verb::ReleaseAll, QString(), DisplayMode()}));
    if (told == Done)
        say(tr("every monitor let go"));
    if (told != NotRunning)
        return told;
    for (const MonitorSettings::Stored &s : MonitorSettings::monitors(settings)) {
        if (s.locked)
            settings.setValue(MonitorSettings::groupFor(s.key) + QLatin1Char('/') + SettingsKeys::Locked, false);
    }
    settings.sync();
    say(tr("every monitor let go; Velmora is not running, and holds the primary monitor again when it starts with -d"));
    return Done;
}

int ControlCommand::fail(const QString &why) const
{
    std::fprintf(stderr, "velmoractl: %s\n", why.toLocal8Bit().constData());
    return Failed;
}

int ControlCommand::usageError(const QString &why) const
{
    std::fprintf(stderr, "velmoractl: %s\n%s\n", why.toLocal8Bit().constData(), usage().toLocal8Bit().constData());
    return Usage;
}

void ControlCommand::say(const QString &text) const
{
    // Names come from monitors and compositors: no escape sequence reaches the terminal.
    QString line;
    for (const QChar c : text)
        line += (c == QLatin1Char('\n') || !(c.category() == QChar::Other_Control)) ? c : QChar(u'?');
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

int ControlCommand::holdArrangement()
{
    if (!readDisplay())
        return Failed;
    if (Arrangement::setKey(outputs).isEmpty())
        return fail(tr("fewer than two monitors are on: there is no arrangement to hold"));
    const int told = tellVelmora(ControlProtocol::encode({ControlProtocol::Verb::HoldArrangement, QString(), DisplayMode()}));
    if (told == NotRunning) {
        if (!HoldKeeper(settings).holdArrangement(outputs))
            return fail(tr("a monitor's mode cannot be read: nothing is held"));
        say(tr("the arrangement of %1 monitors held").arg(Arrangement::of(outputs).monitors.size()));
        say(tr("Velmora is not running; the hold starts with it (velmora -d)"));
        return Done;
    }
    if (told == Done)
        say(tr("the arrangement of %1 monitors held").arg(Arrangement::of(outputs).monitors.size()));
    return told;
}

int ControlCommand::releaseArrangement()
{
    if (!readDisplay())
        return Failed;
    const int told = tellVelmora(ControlProtocol::encode({ControlProtocol::Verb::ReleaseArrangement, QString(), DisplayMode()}));
    if (told == NotRunning && !HoldKeeper(settings).releaseArrangement(outputs))
        return fail(tr("the arrangement of the monitors on now is not held"));
    if (told == Done || told == NotRunning) {
        say(tr("the arrangement let go"));
        return Done;
    }
    return told;
}

int ControlCommand::allow(const QString &program, bool allowed)
{
    if (!AllowedPrograms::isName(program))
        return usageError(tr("%1 is no PROGRAM: the file name alone, without a folder").arg(program));
    ControlProtocol::Request request;
    request.verb = allowed ? ControlProtocol::Verb::Allow : ControlProtocol::Verb::Disallow;
    request.program = program;
    const int told = tellVelmora(ControlProtocol::encode(request));
    if (told == NotRunning) {
        QStringList names = AllowedPrograms::read(settings);
        const bool listed = names.contains(program, AppPlatform::programNameCase());
        if (!allowed && !listed)
            return fail(tr("%1 is not allowed").arg(program));
        if (allowed && !listed)
            names << program;
        if (!allowed)
            names.removeIf([&](const QString &n) { return n.compare(program, AppPlatform::programNameCase()) == 0; });
        AllowedPrograms::write(settings, names);
    } else if (told != Done) {
        return told;
    }
    say(allowed ? tr("%1 allowed: while it runs, Velmora puts nothing back").arg(program)
                : tr("%1 no longer allowed").arg(program));
    return Done;
}

int ControlCommand::listAllowed()
{
    QByteArray answer;
    int exit = Done;
    QStringList names;
    if (askVelmora(ControlProtocol::encode({ControlProtocol::Verb::Allowed, QString(), DisplayMode()}), &answer, &exit)) {
        QByteArray text;
        if (!ControlProtocol::isOk(answer, &text))
            return fail(tr("Velmora refused: %1").arg(QString::fromUtf8(text)));
        for (const QJsonValue &v : QJsonDocument::fromJson(text).array())
            names << v.toString();
    } else if (exit == NotRunning) {
        names = AllowedPrograms::read(settings);
    } else {
        return exit;
    }
    if (json)
        say(QString::fromUtf8(QJsonDocument(QJsonObject{{"allowed", QJsonArray::fromStringList(names)}}).toJson(QJsonDocument::Indented))
                .trimmed());
    else if (names.isEmpty())
        say(tr("no program is allowed to change the mode"));
    for (const QString &name : std::as_const(names)) {
        if (!json)
            say(name);
    }
    return Done;
}
