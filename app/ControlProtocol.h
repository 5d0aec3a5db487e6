#pragma once

#include "DisplayMode.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The requests velmoractl sends over the single-instance channel and the answers it gets: one
// short line each way. A request names a monitor by its connector (percent-encoded, so that
// any name is one word); an answer is "ok" or "no", then a text or a JSON document.
class ControlProtocol
{
public:
    // TrialBegin: a trial of `monitor` from outside; what holds it steps aside for at most
    // `msec`, or until TrialEnd.
    enum class Verb
    {
        Invalid,
        Show,
        Background,
        Status,
        Hold,
        Release,
        ReleaseAll,
        HoldArrangement,
        ReleaseArrangement,
        TrialBegin,
        TrialEnd,
        Allow,    // `program` may change the mode
        Disallow, // no longer
        Allowed,  // the list, as a JSON array
    };
    struct Request
    {
        Verb verb = Verb::Invalid;
        QString monitor;
        DisplayMode mode;
        int msec = 0;
        QString program = QString();
    };

    static QByteArray encode(const Request &request);
    // Invalid for anything that is not exactly one request.
    static Request decode(const QByteArray &line);

    static QByteArray ok(const QByteArray &text = QByteArray());
    static QByteArray refused(const QString &why);
    // Whether `answer` is "ok"; its text (or document) goes to `text` either way.
    static bool isOk(const QByteArray &answer, QByteArray *text);

    // "1920x1080@60:32": how modes are written on the command line and in its output.
    static QString modeText(const DisplayMode &mode);
    static QJsonObject modeJson(const DisplayMode &mode);
    static DisplayMode modeFromJson(const QJsonObject &object);
};
