#include "ControlProtocol.h"

#include <QList>
#include <QUrl>

namespace {
const QByteArray Ok = QByteArrayLiteral("ok");
const QByteArray No = QByteArrayLiteral("no");

bool number(const QByteArray &word, int *value)
{
    bool ok = false;
    *value = word.toInt(&ok);
    return ok;
}
} // namespace

QByteArray ControlProtocol::encode(const Request &r)
{
    const QByteArray monitor = QUrl::toPercentEncoding(r.monitor);
    switch (r.verb) {
    case Verb::Show:
        return QByteArrayLiteral("show");
    case Verb::Background:
        return QByteArrayLiteral("background");
    case Verb::Status:
        return QByteArrayLiteral("status");
    case Verb::Hold:
        return QByteArrayLiteral("hold ") + monitor + ' ' + QByteArray::number(r.mode.PelsWidth) + ' '
            + QByteArray::number(r.mode.PelsHeight) + ' ' + QByteArray::number(r.mode.BitsPerPel) + ' '
            + QByteArray::number(r.mode.DisplayFrequency);
    case Verb::Release:
        return QByteArrayLiteral("release ") + monitor;
    case Verb::ReleaseAll:
        return QByteArrayLiteral("release-all");
    case Verb::HoldArrangement:
        return QByteArrayLiteral("hold-arrangement");
    case Verb::ReleaseArrangement:
        return QByteArrayLiteral("release-arrangement");
    case Verb::TrialBegin:
        return QByteArrayLiteral("trial ") + monitor + ' ' + QByteArray::number(r.msec);
    case Verb::TrialEnd:
        return QByteArrayLiteral("trial-end ") + monitor;
    case Verb::Allow:
        return QByteArrayLiteral("allow ") + QUrl::toPercentEncoding(r.program);
    case Verb::Disallow:
        return QByteArrayLiteral("disallow ") + QUrl::toPercentEncoding(r.program);
    case Verb::Allowed:
        return QByteArrayLiteral("allowed");
    case Verb::Invalid:
        break;
    }
    return QByteArray();
}

ControlProtocol::Request ControlProtocol::decode(const QByteArray &line)
{
    const QList<QByteArray> words = line.split(' ');
    Request r;
    const QByteArray &verb = words.first();
    if (words.size() == 1) {
        if (verb == "show")
            r.verb = Verb::Show;
        else if (verb == "background")
            r.verb = Verb::Background;
        else if (verb == "status")
            r.verb = Verb::Status;
        else if (verb == "release-all")
            r.verb = Verb::ReleaseAll;
        else if (verb == "hold-arrangement")
            r.verb = Verb::HoldArrangement;
        else if (verb == "release-arrangement")
            r.verb = Verb::ReleaseArrangement;
        else if (verb == "allowed")
            r.verb = Verb::Allowed;
        return r;
    }
    if ((verb == "allow" || verb == "disallow") && words.size() == 2) {
        r.program = QUrl::fromPercentEncoding(words.at(1));
        if (!r.program.isEmpty())
            r.verb = verb == "allow" ? Verb::Allow : Verb::Disallow;
        return r;
    }
    r.monitor = QUrl::fromPercentEncoding(words.at(1));
    if (r.monitor.isEmpty())
        return r;
    if (verb == "release" && words.size() == 2) {
        r.verb = Verb::Release;
    } else if (verb == "trial-end" && words.size() == 2) {
        r.verb = Verb::TrialEnd;
    } else if (verb == "trial" && words.size() == 3 && number(words[2], &r.msec) && r.msec > 0) {
        r.verb = Verb::TrialBegin;
    } else if (verb == "hold" && words.size() == 6 && number(words[2], &r.mode.PelsWidth)
               && number(words[3], &r.mode.PelsHeight) && number(words[4], &r.mode.BitsPerPel)
               && number(words[5], &r.mode.DisplayFrequency)) {
        r.verb = Verb::Hold;
    }
    return r;
}

QByteArray ControlProtocol::ok(const QByteArray &text)
{
    return text.isEmpty() ? Ok : Ok + ' ' + text;
}

QByteArray ControlProtocol::refused(const QString &why)
{
    QByteArray text = why.toUtf8();
    text.replace('\n', ' ');
    return No + ' ' + text;
}

bool ControlProtocol::isOk(const QByteArray &answer, QByteArray *text)
{
    const qsizetype blank = answer.indexOf(' ');
    const QByteArray word = blank < 0 ? answer : answer.left(blank);
    if (text)
        *text = blank < 0 ? QByteArray() : answer.mid(blank + 1);
    return word == Ok;
}

QString ControlProtocol::modeText(const DisplayMode &m)
{
    return QStringLiteral("%1x%2@%3:%4").arg(m.PelsWidth).arg(m.PelsHeight).arg(m.DisplayFrequency).arg(m.BitsPerPel);
}

QJsonObject ControlProtocol::modeJson(const DisplayMode &m)
{
    return {{"width", m.PelsWidth}, {"height", m.PelsHeight}, {"bpp", m.BitsPerPel}, {"hz", m.DisplayFrequency}};
}

DisplayMode ControlProtocol::modeFromJson(const QJsonObject &o)
{
    return {o.value("width").toInt(), o.value("height").toInt(), o.value("bpp").toInt(), o.value("hz").toInt()};
}
