#include "CompositorState.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

QList<CompositorState::Mode> CompositorState::Output::announcedModes() const
{
    QList<Mode> list = modes;
    if (current < 0 && custom)
        list.append(*custom);
    return list;
}

int CompositorState::Output::announcedCurrent() const
{
    if (current >= 0)
        return current;
    return custom ? int(modes.size()) : -1;
}

std::optional<CompositorState::Mode> CompositorState::Output::currentMode() const
{
    if (current >= 0)
        return modes.at(current);
    return custom;
}

void CompositorState::Output::setCurrent(const Mode &mode)
{
    current = int(modes.indexOf(mode));
    if (current >= 0)
        custom.reset();
    else
        custom = mode;
}

void CompositorState::Output::ensureCurrent()
{
    if (current >= 0 || custom || modes.isEmpty())
        return;
    current = preferred >= 0 ? preferred : 0;
}

static std::optional<CompositorState::Mode> modeFromJson(const QJsonValue &value)
{
    const QJsonArray a = value.toArray();
    if (a.size() != 3 || !a.at(0).isDouble() || !a.at(1).isDouble() || !a.at(2).isDouble())
        return std::nullopt;
    CompositorState::Mode mode{a.at(0).toInt(), a.at(1).toInt(), a.at(2).toInt()};
    if (mode.width <= 0 || mode.height <= 0 || mode.refresh < 0)
        return std::nullopt;
    return mode;
}

static QJsonArray modeToJson(const CompositorState::Mode &mode)
{
    return QJsonArray{mode.width, mode.height, mode.refresh};
}

static std::optional<CompositorState::Output> outputFromJson(const QJsonObject &o, QString *error)
{
    CompositorState::Output out;
    out.name = o.value(QLatin1String("name")).toString();
    if (out.name.isEmpty()) {
        *error = QStringLiteral("an output without a name");
        return std::nullopt;
    }
    const QJsonArray modes = o.value(QLatin1String("modes")).toArray();
    for (const QJsonValue &value : modes) {
        const auto mode = modeFromJson(value);
        if (!mode) {
            *error = QStringLiteral("%1: a mode is not [width, height, mHz]").arg(out.name);
            return std::nullopt;
        }
        out.modes.append(*mode);
    }
    out.preferred = o.value(QLatin1String("preferred")).toInt(-1);
    if (out.preferred >= out.modes.size())
        out.preferred = -1;
    const QJsonValue current = o.value(QLatin1String("current"));
    if (current.isDouble()) {
        out.current = current.toInt();
        if (out.current < 0 || out.current >= out.modes.size()) {
            *error = QStringLiteral("%1: current %2 is not in the list").arg(out.name).arg(out.current);
            return std::nullopt;
        }
    } else if (current.isArray()) {
        const auto mode = modeFromJson(current);
        if (!mode) {
            *error = QStringLiteral("%1: current is not [width, height, mHz]").arg(out.name);
            return std::nullopt;
        }
        out.setCurrent(*mode);
    }
    out.enabled = o.value(QLatin1String("enabled")).toBool(true);
    out.x = o.value(QLatin1String("x")).toInt();
    out.y = o.value(QLatin1String("y")).toInt();
    out.transform = o.value(QLatin1String("transform")).toInt();
    out.scale = o.value(QLatin1String("scale")).toDouble(1.0);
    const QJsonArray size = o.value(QLatin1String("physicalSize")).toArray();
    out.physicalWidth = size.at(0).toInt();
    out.physicalHeight = size.at(1).toInt();
    out.make = o.value(QLatin1String("make")).toString(out.make);
    out.model = o.value(QLatin1String("model")).toString(out.model);
    out.serial = o.value(QLatin1String("serial")).toString(out.name);
    out.edid = QByteArray::fromHex(o.value(QLatin1String("edid")).toString().toLatin1());
    return out;
}

static QJsonObject outputToJson(const CompositorState::Output &out)
{
    QJsonArray modes;
    for (const CompositorState::Mode &mode : out.modes)
        modes.append(modeToJson(mode));
    const auto current = out.currentMode();
    QJsonObject o{{"name", out.name},
                  {"modes", modes},
                  {"current", out.enabled && current ? QJsonValue(modeToJson(*current)) : QJsonValue()},
                  {"enabled", out.enabled},
                  {"x", out.x},
                  {"y", out.y},
                  {"transform", out.transform},
                  {"scale", out.scale},
                  {"make", out.make},
                  {"model", out.model},
                  {"serial", out.serial}};
    if (out.preferred >= 0)
        o.insert("preferred", out.preferred);
    if (out.physicalWidth > 0 || out.physicalHeight > 0)
        o.insert("physicalSize", QJsonArray{out.physicalWidth, out.physicalHeight});
    if (!out.edid.isEmpty())
        o.insert("edid", QString::fromLatin1(out.edid.toHex()));
    return o;
}

static const char *const answerNames[] = {"succeeded", "failed", "cancelled"};

std::optional<CompositorState> CompositorState::fromJson(const QJsonObject &root, QString *error)
{
    CompositorState state;
    for (const QJsonValue &value : root.value(QLatin1String("outputs")).toArray()) {
        auto out = outputFromJson(value.toObject(), error);
        if (!out)
            return std::nullopt;
        if (state.output(out->name)) {
            *error = QStringLiteral("two outputs named %1").arg(out->name);
            return std::nullopt;
        }
        state.outputs.append(*out);
    }
    state.primary = root.value(QLatin1String("primary")).toString();
    state.customModes = root.value(QLatin1String("customModes")).toBool();
    const QString answer = root.value(QLatin1String("nextApply")).toString(QStringLiteral("succeeded"));
    if (answer == QLatin1String("failed"))
        state.nextApply = Answer::Failed;
    else if (answer == QLatin1String("cancelled"))
        state.nextApply = Answer::Cancelled;
    else if (answer != QLatin1String("succeeded")) {
        *error = QStringLiteral("nextApply %1 is none of succeeded, failed, cancelled").arg(answer);
        return std::nullopt;
    }
    state.staleOnce = root.value(QLatin1String("staleOnce")).toBool();
    state.doneAfterAnswer = root.value(QLatin1String("doneAfterAnswer")).toBool();
    state.applyDelayMs = qMax(0, root.value(QLatin1String("applyDelayMs")).toInt());
    return state;
}

std::optional<CompositorState> CompositorState::load(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!doc.isObject()) {
        *error = parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                              : QStringLiteral("not a JSON object");
        return std::nullopt;
    }
    return fromJson(doc.object(), error);
}

QJsonObject CompositorState::toJson() const
{
    QJsonArray list;
    for (const Output &out : outputs)
        list.append(outputToJson(out));
    QJsonObject root{{"outputs", list},
                     {"customModes", customModes},
                     {"nextApply", answerNames[int(nextApply)]},
                     {"staleOnce", staleOnce},
                     {"doneAfterAnswer", doneAfterAnswer},
                     {"applyDelayMs", applyDelayMs}};
    if (!primary.isEmpty())
        root.insert("primary", primary);
    return root;
}

const CompositorState::Output *CompositorState::output(const QString &name) const
{
    for (const Output &out : outputs) {
        if (out.name == name)
            return &out;
    }
    return nullptr;
}

// Through the non-const list: a state copied from another shares its outputs until one is
// written, and a change must not reach the original.
CompositorState::Output *CompositorState::output(const QString &name)
{
    for (Output &out : outputs) {
        if (out.name == name)
            return &out;
    }
    return nullptr;
}
