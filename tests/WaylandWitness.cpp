#include "WaylandWitness.h"

#include "RefreshRate.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

namespace {
// wlr-randr 0.2.0: a head's name at column 0, then "  Enabled: yes", "  Modes:",
// "    1280x720 px, 60.000000 Hz (preferred, current)", "  Position: 0,0", "  Transform: 90",
// "  Scale: 1.500000".
QList<WitnessOutput> parseWlrRandr(const QString &text)
{
    static const QRegularExpression modeLine(QStringLiteral("^    (\\d+)x(\\d+) px(?:, ([0-9.]+) Hz)?(.*)$"));
    static const QRegularExpression position(QStringLiteral("^  Position: (-?\\d+),(-?\\d+)"));
    static const QStringList transforms{"normal", "90", "180", "270", "flipped", "flipped-90", "flipped-180", "flipped-270"};
    QList<WitnessOutput> outputs;
    for (const QString &line : text.split('\n')) {
        if (!line.isEmpty() && !line.startsWith(' ')) {
            outputs.append(WitnessOutput());
            outputs.last().name = line.section(' ', 0, 0);
            continue;
        }
        if (outputs.isEmpty())
            continue;
        WitnessOutput &o = outputs.last();
        if (line.startsWith(QLatin1String("  Enabled: ")))
            o.enabled = line.endsWith(QLatin1String("yes"));
        const QRegularExpressionMatch m = modeLine.match(line);
        if (m.hasMatch()) {
            if (m.captured(4).contains(QLatin1String("current")))
                o.current = o.modes.size();
            o.modes.append(DisplayMode{m.captured(1).toInt(), m.captured(2).toInt(), 32,
                                       RefreshRate::wholeHz(m.captured(3).toDouble())});
        }
        if (line.startsWith(QLatin1String("  Transform: ")))
            o.transform = int(transforms.indexOf(line.mid(13).trimmed()));
        if (line.startsWith(QLatin1String("  Scale: ")))
            o.scale = line.mid(9).toDouble();
        const QRegularExpressionMatch p = position.match(line);
        if (p.hasMatch()) {
            o.x = p.captured(1).toInt();
            o.y = p.captured(2).toInt();
        }
    }
    return outputs;
}

QList<WitnessOutput> parseKscreen(const QByteArray &json)
{
    QList<WitnessOutput> outputs;
    const QJsonArray list = QJsonDocument::fromJson(json).object().value(QStringLiteral("outputs")).toArray();
    for (const QJsonValue &value : list) {
        const QJsonObject out = value.toObject();
        WitnessOutput o;
        o.name = out.value(QStringLiteral("name")).toString();
        o.enabled = out.value(QStringLiteral("enabled")).toBool();
        o.x = out.value(QStringLiteral("pos")).toObject().value(QStringLiteral("x")).toInt();
        o.y = out.value(QStringLiteral("pos")).toObject().value(QStringLiteral("y")).toInt();
        // libkscreen's rotations: 1 none, 2 left (90), 4 inverted (180), 8 right (270).
        const int rotation = out.value(QStringLiteral("rotation")).toInt();
        o.transform = rotation == 2 ? 1 : rotation == 4 ? 2 : rotation == 8 ? 3 : 0;
        o.scale = out.value(QStringLiteral("scale")).toDouble(1.0);
        o.priority = out.value(QStringLiteral("priority")).toInt();
        const QString current = out.value(QStringLiteral("currentModeId")).toString();
        for (const QJsonValue &modeValue : out.value(QStringLiteral("modes")).toArray()) {
            const QJsonObject mode = modeValue.toObject();
            const QJsonObject size = mode.value(QStringLiteral("size")).toObject();
            if (o.enabled && mode.value(QStringLiteral("id")).toString() == current)
                o.current = o.modes.size();
            o.modes.append(DisplayMode{size.value(QStringLiteral("width")).toInt(),
                                       size.value(QStringLiteral("height")).toInt(), 32,
                                       RefreshRate::wholeHz(mode.value(QStringLiteral("refreshRate")).toDouble())});
        }
        outputs.append(o);
    }
    return outputs;
}
} // namespace

WaylandHost::WaylandHost(const QString &d)
    : HostFolder(d, QStringLiteral("wayland"))
{
}

QString WaylandHost::socket() const
{
    return value(QStringLiteral("wayland"));
}

QString WaylandHost::run(const QStringList &command, bool *ok) const
{
    QProcess p;
    p.start(QStringLiteral(VELMORA_SOURCE_DIR "/scripts/wayland-host.sh"), QStringList{"run", dir} + command);
    const bool done = p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (ok)
        *ok = done;
    if (!done)
        qWarning().noquote() << command.join(' ') << "failed:" << p.readAllStandardError();
    return done ? QString::fromUtf8(p.readAllStandardOutput()) : QString();
}

QList<WitnessOutput> WaylandHost::outputs() const
{
    if (value(QStringLiteral("kind")) == QLatin1String("kwin"))
        return parseKscreen(run({"kscreen-doctor", "-j"}).toUtf8());
    return parseWlrRandr(run({"wlr-randr"}));
}

WitnessOutput WaylandHost::output(const QString &name) const
{
    for (const WitnessOutput &o : outputs()) {
        if (o.name == name)
            return o;
    }
    return WitnessOutput();
}
