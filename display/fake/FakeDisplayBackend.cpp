#include "FakeDisplayBackend.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

FakeDisplayBackend::FakeDisplayBackend(const QList<DisplayMode> &modes, int currentIndex)
{
    Output first;
    first.name = QStringLiteral("FAKE0");
    first.modes = modes;
    if (currentIndex >= 0 && currentIndex < modes.size())
        first.current = modes.at(currentIndex);
    m_outputs.append(first);
    m_primary = first.name;
}

static bool modeFromJson(const QJsonValue &value, DisplayMode &mode)
{
    const QJsonArray a = value.toArray();
    if (a.size() != 4)
        return false;
    for (const QJsonValue &v : a) {
        if (!v.isDouble())
            return false;
    }
    mode = {a.at(0).toInt(), a.at(1).toInt(), a.at(2).toInt(), a.at(3).toInt()};
    return true;
}

// One output's "modes" and "current" from `object`; false with *error set when malformed.
static bool outputFromJson(const QJsonObject &object, QList<DisplayMode> &modes, DisplayMode &current,
                           bool &haveCurrent, QString *error)
{
    const QJsonArray list = object.value(QLatin1String("modes")).toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        DisplayMode m;
        if (!modeFromJson(list.at(i), m)) {
            if (error)
                *error = QStringLiteral("mode %1 is not [width, height, bpp, hz]").arg(i);
            return false;
        }
        modes.append(m);
    }
    haveCurrent = true;
    const QJsonValue value = object.value(QLatin1String("current"));
    if (value.isDouble()) {
        const int n = value.toInt();
        if (n < 0 || n >= modes.size()) {
            if (error)
                *error = QStringLiteral("current mode %1 is not in the list").arg(n);
            return false;
        }
        current = modes.at(n);
    } else if (value.isArray()) {
        if (!modeFromJson(value, current)) {
            if (error)
                *error = QStringLiteral("current is not [width, height, bpp, hz]");
            return false;
        }
    } else {
        haveCurrent = false;
    }
    return true;
}

std::unique_ptr<FakeDisplayBackend> FakeDisplayBackend::fromJson(const QByteArray &json, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (!doc.isObject()) {
        if (error)
            *error = parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                                  : QStringLiteral("not a JSON object");
        return nullptr;
    }
    const QJsonObject root = doc.object();
    auto fake = std::make_unique<FakeDisplayBackend>();
    const QJsonArray outputs = root.value(QLatin1String("outputs")).toArray();
    if (outputs.isEmpty()) {
        QList<DisplayMode> modes;
        DisplayMode current;
        bool haveCurrent = false;
        if (!outputFromJson(root, modes, current, haveCurrent, error))
            return nullptr;
        fake->m_outputs[0].modes = modes;
        if (haveCurrent)
            fake->m_outputs[0].current = current;
    } else {
        fake->m_outputs.clear();
        for (qsizetype i = 0; i < outputs.size(); ++i) {
            const QJsonObject object = outputs.at(i).toObject();
            Output output;
            output.name = object.value(QLatin1String("name")).toString(QStringLiteral("FAKE%1").arg(i));
            bool haveCurrent = false;
            QString outputError;
            if (!outputFromJson(object, output.modes, output.current, haveCurrent, &outputError)) {
                if (error)
                    *error = output.name + QLatin1String(": ") + outputError;
                return nullptr;
            }
            output.on = !object.value(QLatin1String("off")).toBool();
            output.identity = object.value(QLatin1String("identity")).toString();
            output.label = object.value(QLatin1String("label")).toString();
            output.serial = object.value(QLatin1String("serial")).toBool(true);
            output.x = object.value(QLatin1String("x")).toInt();
            output.y = object.value(QLatin1String("y")).toInt();
            output.transform = object.value(QLatin1String("transform")).toInt();
            output.scale = object.value(QLatin1String("scale")).toDouble(1.0);
            if (fake->find(output.name)) {
                if (error)
                    *error = QStringLiteral("output %1 is listed twice").arg(output.name);
                return nullptr;
            }
            fake->m_outputs.append(output);
        }
        fake->m_primary = root.value(QLatin1String("primary")).toString(fake->m_outputs.first().name);
    }
    QSet<int> missing;
    for (const QJsonValue &v : root.value(QLatin1String("missing")).toArray())
        missing.insert(v.toInt());
    fake->setMissing(missing);
    fake->setFailReads(root.value(QLatin1String("failReads")).toBool());
    fake->setRefuseApplies(root.value(QLatin1String("refuseApplies")).toBool());
    fake->setCurrentUnreadable(root.value(QLatin1String("currentUnreadable")).toBool());
    fake->setAppliesReportFailure(root.value(QLatin1String("appliesReportFailure")).toBool());
    fake->setApplyDelay(root.value(QLatin1String("applyDelay")).toInt());
    return fake;
}

std::unique_ptr<FakeDisplayBackend> FakeDisplayBackend::fromJsonFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = path + QLatin1String(": ") + file.errorString();
        return nullptr;
    }
    QString parseError;
    auto fake = fromJson(file.readAll(), &parseError);
    if (!fake && error)
        *error = path + QLatin1String(": ") + parseError;
    return fake;
}

FakeDisplayBackend::Output *FakeDisplayBackend::find(const QString &name)
{
    for (Output &o : m_outputs) {
        if (o.name == name)
            return &o;
    }
    return nullptr;
}

const FakeDisplayBackend::Output *FakeDisplayBackend::find(const QString &name) const
{
    return const_cast<FakeDisplayBackend *>(this)->find(name);
}

FakeDisplayBackend::Output *FakeDisplayBackend::target()
{
    if (Output *pinned = find(m_target))
        return pinned;
    Output *primary = find(m_primary);
    return primary ? primary : m_outputs.isEmpty() ? nullptr : &m_outputs.first();
}

const FakeDisplayBackend::Output *FakeDisplayBackend::target() const
{
    return const_cast<FakeDisplayBackend *>(this)->target();
}

QList<DisplayMode> FakeDisplayBackend::listed(const Output &o) const
{
    QList<DisplayMode> modes;
    for (int n = 0; n < o.modes.size() && !m_missing.contains(n); ++n)
        modes.append(o.modes.at(n));
    return modes;
}

bool FakeDisplayBackend::readOutputs(std::vector<DisplayOutput> &outputs)
{
    QMutexLocker lock(&m_mutex);
    ++m_currentReads;
    outputs.clear();
    if (m_failReads)
        return false;
    // The one-output calls stay on the output that was primary at the first read.
    if (m_target.isEmpty())
        m_target = m_primary;
    for (const Output &o : std::as_const(m_outputs)) {
        if (!o.present)
            continue;
        DisplayOutput out;
        out.name = o.name.toStdString();
        out.identity = o.identity.toStdString();
        out.hasSerial = !o.identity.isEmpty() && o.serial;
        out.label = o.label.toStdString();
        out.primary = o.name == m_primary;
        if (!o.on)
            out.state = DisplayOutput::State::Off;
        else if (m_currentUnreadable)
            out.state = DisplayOutput::State::Unreadable;
        else
            out.state = DisplayOutput::State::Active;
        if (out.state == DisplayOutput::State::Active)
            out.current = o.current;
        if (o.on) {
            out.x = o.x;
            out.y = o.y;
            out.transform = o.transform;
            out.scale = o.scale;
        }
        outputs.push_back(out);
    }
    return true;
}

bool FakeDisplayBackend::readModes(const std::string &output, std::vector<DisplayMode> &modes)
{
    QMutexLocker lock(&m_mutex);
    ++m_enumerations;
    modes.clear();
    const Output *o = find(QString::fromStdString(output));
    if (m_failReads || !o || !o->present)
        return false;
    const QList<DisplayMode> list = listed(*o);
    modes.assign(list.cbegin(), list.cend());
    return true;
}

LayoutFeatures FakeDisplayBackend::features() const
{
    return {true, true, true, true};
}

DisplayBackend::ApplyResult FakeDisplayBackend::commit(const ApplyPlan &plan, bool *stale)
{
    (void)stale;
    if (const int delay = m_applyDelay.load())
        QThread::msleep(delay);
    QMutexLocker lock(&m_mutex);
    ++m_applies;
    m_lastChanges.clear();
    for (const ApplyPlan::Output &p : plan.changes)
        m_lastChanges.push_back({p.now.name, p.wanted.current});
    m_lastPlan = plan.changes;
    if (!plan.changes.empty()) {
        m_lastApplied = plan.changes.back().wanted.current;
        m_lastAppliedOutput = QString::fromStdString(plan.changes.back().now.name);
    }
    if (m_refuseApplies)
        return ApplyResult::Refused;
    if (m_failReads)
        return ApplyResult::Failed;
    for (const ApplyPlan::Output &p : plan.changes) {
        Output *o = find(QString::fromStdString(p.now.name));
        if (!o || !o->present || !o->on)
            return ApplyResult::Failed; // gone since the read: a real platform fails too
    }
    for (const ApplyPlan::Output &p : plan.changes) {
        Output *o = find(QString::fromStdString(p.now.name));
        if (p.modeChanges)
            o->current = p.wanted.current;
        o->x = p.wanted.x;
        o->y = p.wanted.y;
        o->transform = p.wanted.transform;
        o->scale = p.wanted.scale;
        if (p.wanted.primary)
            m_primary = o->name;
    }
    return m_appliesReportFailure ? ApplyResult::Failed : ApplyResult::Applied;
}

std::vector<ApplyPlan::Output> FakeDisplayBackend::lastPlan() const
{
    QMutexLocker lock(&m_mutex);
    return m_lastPlan;
}

void FakeDisplayBackend::setOutputPlace(const QString &name, int x, int y, int transform, double scale)
{
    QMutexLocker lock(&m_mutex);
    if (Output *o = find(name)) {
        o->x = x;
        o->y = y;
        o->transform = transform;
        o->scale = scale;
    }
}

void FakeDisplayBackend::setChangeCallback(std::function<void()> callback)
{
    QMutexLocker lock(&m_mutex);
    m_callback = std::move(callback);
}

void FakeDisplayBackend::announce()
{
    std::function<void()> callback;
    {
        QMutexLocker lock(&m_mutex);
        callback = m_callback;
    }
    if (callback)
        callback();
}

void FakeDisplayBackend::setModes(const QList<DisplayMode> &modes)
{
    QMutexLocker lock(&m_mutex);
    if (Output *o = target())
        o->modes = modes;
}

void FakeDisplayBackend::setMissing(const QSet<int> &numbers)
{
    QMutexLocker lock(&m_mutex);
    m_missing = numbers;
}

void FakeDisplayBackend::setCurrent(const DisplayMode &mode)
{
    QMutexLocker lock(&m_mutex);
    if (Output *o = target()) {
        o->current = mode;
        o->on = true;
    }
}

DisplayMode FakeDisplayBackend::current() const
{
    QMutexLocker lock(&m_mutex);
    const Output *o = target();
    return o ? o->current : DisplayMode();
}

void FakeDisplayBackend::setFailReads(bool fail)
{
    QMutexLocker lock(&m_mutex);
    m_failReads = fail;
}

void FakeDisplayBackend::setRefuseApplies(bool refuse)
{
    QMutexLocker lock(&m_mutex);
    m_refuseApplies = refuse;
}

void FakeDisplayBackend::setCurrentUnreadable(bool unreadable)
{
    QMutexLocker lock(&m_mutex);
    m_currentUnreadable = unreadable;
}

void FakeDisplayBackend::setAppliesReportFailure(bool fail)
{
    QMutexLocker lock(&m_mutex);
    m_appliesReportFailure = fail;
}

void FakeDisplayBackend::setApplyDelay(int msec)
{
    m_applyDelay = msec;
}

void FakeDisplayBackend::addOutput(const QString &name, const QList<DisplayMode> &modes, const DisplayMode &current)
{
    QMutexLocker lock(&m_mutex);
    if (find(name))
        return;
    Output o;
    o.name = name;
    o.modes = modes;
    o.current = current;
    m_outputs.append(o);
}

void FakeDisplayBackend::setOutputModes(const QString &name, const QList<DisplayMode> &modes)
{
    QMutexLocker lock(&m_mutex);
    if (Output *o = find(name))
        o->modes = modes;
}

void FakeDisplayBackend::setOutputCurrent(const QString &name, const DisplayMode &mode)
{
    QMutexLocker lock(&m_mutex);
    if (Output *o = find(name)) {
        o->current = mode;
        o->on = true;
    }
}

DisplayMode FakeDisplayBackend::outputCurrent(const QString &name) const
{
    QMutexLocker lock(&m_mutex);
    const Output *o = find(name);
    return o ? o->current : DisplayMode();
}

void FakeDisplayBackend::setOutputOff(const QString &name)
{
    QMutexLocker lock(&m_mutex);
    if (Output *o = find(name))
        o->on = false;
}

bool FakeDisplayBackend::outputIsOn(const QString &name) const
{
    QMutexLocker lock(&m_mutex);
    const Output *o = find(name);
    return o && o->present && o->on;
}

void FakeDisplayBackend::setOutputPresent(const QString &name, bool present)
{
    QMutexLocker lock(&m_mutex);
    if (Output *o = find(name))
        o->present = present;
}

void FakeDisplayBackend::setPrimary(const QString &name)
{
    QMutexLocker lock(&m_mutex);
    m_primary = name;
}

DisplayMode FakeDisplayBackend::lastApplied() const
{
    QMutexLocker lock(&m_mutex);
    return m_lastApplied;
}

QString FakeDisplayBackend::lastAppliedOutput() const
{
    QMutexLocker lock(&m_mutex);
    return m_lastAppliedOutput;
}

std::vector<ModeChange> FakeDisplayBackend::lastChanges() const
{
    QMutexLocker lock(&m_mutex);
    return m_lastChanges;
}

void FakeDisplayBackend::setOutputIdentity(const QString &name, const QString &identity, bool serial)
{
    QMutexLocker lock(&m_mutex);
    if (Output *o = find(name)) {
        o->identity = identity;
        o->serial = serial;
    }
}

void FakeDisplayBackend::renameOutput(const QString &name, const QString &newName)
{
    QMutexLocker lock(&m_mutex);
    Output *o = find(name);
    if (!o || find(newName))
        return;
    o->name = newName;
    if (m_primary == name)
        m_primary = newName;
    if (m_target == name)
        m_target = newName;
}
void FakeDisplayBackend::resetCounts()
{
    QMutexLocker lock(&m_mutex);
    m_enumerations = 0;
    m_currentReads = 0;
    m_applies = 0;
    m_lastApplied = DisplayMode{-1, -1, -1, -1};
    m_lastAppliedOutput.clear();
    m_lastChanges.clear();
    m_lastPlan.clear();
}
