#include "FakeDisplayBackend.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

FakeDisplayBackend::FakeDisplayBackend(const QList<DisplayMode> &modes, int currentIndex)
    : m_modes(modes)
{
    if (currentIndex >= 0 && currentIndex < m_modes.size())
        m_current = m_modes.at(currentIndex);
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
    QList<DisplayMode> modes;
    const QJsonArray list = root.value(QLatin1String("modes")).toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        DisplayMode m;
        if (!modeFromJson(list.at(i), m)) {
            if (error)
                *error = QStringLiteral("mode %1 is not [width, height, bpp, hz]").arg(i);
            return nullptr;
        }
        modes.append(m);
    }
    auto fake = std::make_unique<FakeDisplayBackend>(modes);
    const QJsonValue current = root.value(QLatin1String("current"));
    if (current.isDouble()) {
        const int n = current.toInt();
        if (n < 0 || n >= modes.size()) {
            if (error)
                *error = QStringLiteral("current mode %1 is not in the list").arg(n);
            return nullptr;
        }
        fake->setCurrent(modes.at(n));
    } else if (current.isArray()) {
        DisplayMode m;
        if (!modeFromJson(current, m)) {
            if (error)
                *error = QStringLiteral("current is not [width, height, bpp, hz]");
            return nullptr;
        }
        fake->setCurrent(m);
    }
    QSet<int> missing;
    for (const QJsonValue &v : root.value(QLatin1String("missing")).toArray())
        missing.insert(v.toInt());
    fake->setMissing(missing);
    fake->setFailReads(root.value(QLatin1String("failReads")).toBool());
    fake->setRefuseApplies(root.value(QLatin1String("refuseApplies")).toBool());
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

bool FakeDisplayBackend::mode(int n, DisplayMode &out)
{
    QMutexLocker lock(&m_mutex);
    if (n == CurrentSettings) {
        ++m_currentReads;
        if (m_failReads)
            return false;
        out = m_current;
        return true;
    }
    ++m_enumerations;
    if (n < 0 || n >= m_modes.size() || m_missing.contains(n))
        return false;
    out = m_modes.at(n);
    return true;
}

bool FakeDisplayBackend::apply(int n)
{
    QMutexLocker lock(&m_mutex);
    ++m_applies;
    m_lastApplied = n;
    if (m_refuseApplies)
        return false;
    if (n == CurrentSettings)
        return !m_failReads;
    if (n < 0 || n >= m_modes.size() || m_missing.contains(n))
        return false;
    m_current = m_modes.at(n);
    return true;
}

void FakeDisplayBackend::setModes(const QList<DisplayMode> &modes)
{
    QMutexLocker lock(&m_mutex);
    m_modes = modes;
}

void FakeDisplayBackend::setMissing(const QSet<int> &numbers)
{
    QMutexLocker lock(&m_mutex);
    m_missing = numbers;
}

void FakeDisplayBackend::setCurrent(const DisplayMode &mode)
{
    QMutexLocker lock(&m_mutex);
    m_current = mode;
}

DisplayMode FakeDisplayBackend::current() const
{
    QMutexLocker lock(&m_mutex);
    return m_current;
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

void FakeDisplayBackend::resetCounts()
{
    m_enumerations = 0;
    m_currentReads = 0;
    m_applies = 0;
    m_lastApplied = -2;
}
