#include "Arrangement.h"

#include "MonitorIdentity.h"
#include "MonitorSettings.h"
#include "SettingsKeys.h"

#include <QSettings>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

bool sameScale(double a, double b)
{
    return std::fabs(a - b) < 1e-4;
}

bool isOn(const DisplayOutput &o)
{
    return o.state != DisplayOutput::State::Off;
}

QString groupOf(const QString &key)
{
    return SettingsKeys::ArrangementsGroup + QLatin1Char('/') + key;
}

} // namespace

QString Arrangement::setKey(const std::vector<DisplayOutput> &outputs)
{
    QStringList keys;
    for (const DisplayOutput &o : outputs) {
        if (isOn(o))
            keys << MonitorSettings::keyFor(o);
    }
    if (keys.size() < 2)
        return QString();
    keys.sort();
    // Keys are letters, digits, '-', '.' and '_': "~" cannot stand in one.
    return keys.join(QLatin1Char('~'));
}

Arrangement Arrangement::of(const std::vector<DisplayOutput> &outputs)
{
    Arrangement a;
    for (const DisplayOutput &o : outputs) {
        if (!isOn(o))
            continue;
        if (o.state != DisplayOutput::State::Active)
            return Arrangement();
        Monitor m;
        m.key = MonitorSettings::keyFor(o);
        m.identity = QString::fromStdString(o.identity);
        m.connector = QString::fromStdString(o.name);
        m.mode = o.current;
        m.x = o.x;
        m.y = o.y;
        m.transform = o.transform;
        m.scale = o.scale;
        m.primary = o.primary;
        a.monitors.append(m);
    }
    if (a.monitors.size() < 2)
        return Arrangement();
    a.key = setKey(outputs);
    return a;
}

bool Arrangement::contains(const QString &monitorKey) const
{
    return std::any_of(monitors.cbegin(), monitors.cend(), [&](const Monitor &m) { return m.key == monitorKey; });
}

bool Arrangement::usable() const
{
    if (key.isEmpty() || monitors.size() < 2)
        return false;
    for (const Monitor &m : monitors) {
        if (!MonitorSettings::usable(m.mode) || m.transform < Normal || m.transform > Flipped270
            || !(m.scale > 0.0 && m.scale <= 16.0) || std::abs(m.x) > 65535 || std::abs(m.y) > 65535)
            return false;
    }
    return true;
}

std::vector<OutputChange> Arrangement::changesFrom(const std::vector<DisplayOutput> &outputs,
                                                   const LayoutFeatures &has) const
{
    std::vector<OutputChange> changes;
    if (setKey(outputs) != key)
        return changes;
    for (const Monitor &m : monitors) {
        const DisplayOutput *o = MonitorIdentity::find(outputs, m.identity.toStdString(), m.connector.toStdString());
        if (!o || o->state != DisplayOutput::State::Active)
            return {}; // not all of it is there to lay out
        OutputChange c;
        c.output = o->name;
        if (o->current != m.mode)
            c.mode = m.mode;
        if (has.position && (o->x != m.x || o->y != m.y))
            c.position = std::make_pair(m.x, m.y);
        if (has.transform && o->transform != m.transform)
            c.transform = m.transform;
        if (has.scale && !sameScale(o->scale, m.scale))
            c.scale = m.scale;
        c.primary = has.primary && m.primary && !o->primary;
        if (c.mode || c.position || c.transform || c.scale || c.primary)
            changes.push_back(c);
    }
    return changes;
}

QList<Arrangement> Arrangement::load(QSettings &settings)
{
    using namespace SettingsKeys;
    settings.beginGroup(ArrangementsGroup);
    const QStringList keys = settings.childGroups();
    settings.endGroup();
    QList<Arrangement> all;
    for (const QString &key : keys) {
        Arrangement a;
        a.key = key;
        settings.beginGroup(groupOf(key));
        a.held = settings.value(Held).toBool();
        const int n = settings.beginReadArray(MonitorsArray);
        for (int i = 0; i < n; ++i) {
            settings.setArrayIndex(i);
            Monitor m;
            m.key = settings.value(QStringLiteral("Key")).toString();
            m.identity = settings.value(Identity).toString();
            m.connector = settings.value(Connector).toString();
            bool ok = true;
            auto number = [&](const QString &name, int fallback) {
                bool isNumber = false;
                const int v = settings.value(name, fallback).toInt(&isNumber);
                ok = ok && isNumber;
                return v;
            };
            m.mode = {number(PelsWidth, 0), number(PelsHeight, 0), number(BitsPerPel, 0), number(DisplayFrequency, 0)};
            m.x = number(X, 0);
            m.y = number(Y, 0);
            m.transform = number(Rotation, Normal);
            bool isScale = false;
            m.scale = settings.value(Scale, 1.0).toDouble(&isScale);
            m.primary = settings.value(Primary).toBool();
            if (!ok || !isScale)
                m.mode = DisplayMode(); // makes the whole arrangement unusable
            a.monitors.append(m);
        }
        settings.endArray();
        settings.endGroup();
        all.append(a);
    }
    return all;
}

void Arrangement::save(QSettings &settings) const
{
    using namespace SettingsKeys;
    settings.remove(groupOf(key));
    settings.beginGroup(groupOf(key));
    settings.setValue(Held, held);
    settings.beginWriteArray(MonitorsArray, int(monitors.size()));
    for (int i = 0; i < monitors.size(); ++i) {
        const Monitor &m = monitors.at(i);
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("Key"), m.key);
        settings.setValue(Identity, m.identity);
        settings.setValue(Connector, m.connector);
        settings.setValue(PelsWidth, m.mode.PelsWidth);
        settings.setValue(PelsHeight, m.mode.PelsHeight);
        settings.setValue(BitsPerPel, m.mode.BitsPerPel);
        settings.setValue(DisplayFrequency, m.mode.DisplayFrequency);
        settings.setValue(X, m.x);
        settings.setValue(Y, m.y);
        settings.setValue(Rotation, m.transform);
        settings.setValue(Scale, m.scale);
        settings.setValue(Primary, m.primary);
    }
    settings.endArray();
    settings.endGroup();
    settings.sync();
}

void Arrangement::setHeld(QSettings &settings, const QString &key, bool held)
{
    settings.setValue(groupOf(key) + QLatin1Char('/') + SettingsKeys::Held, held);
    settings.sync();
}

bool Arrangement::setMode(QSettings &settings, const QString &monitorKey, const DisplayMode &mode)
{
    bool changed = false;
    for (Arrangement a : load(settings)) {
        bool holds = false;
        for (Monitor &m : a.monitors) {
            if (m.key == monitorKey && m.mode != mode) {
                m.mode = mode;
                holds = true;
            }
        }
        if (holds) {
            a.save(settings);
            changed = true;
        }
    }
    return changed;
}

QString Arrangement::text() const
{
    QStringList parts;
    for (const Monitor &m : monitors)
        parts << QStringLiteral("%1 %2x%3 %4 Hz at %5,%6%7%8%9")
                     .arg(m.connector)
                     .arg(m.mode.PelsWidth)
                     .arg(m.mode.PelsHeight)
                     .arg(m.mode.DisplayFrequency)
                     .arg(m.x)
                     .arg(m.y)
                     .arg(m.transform != Normal ? QStringLiteral(" turned %1").arg(m.transform) : QString())
                     .arg(sameScale(m.scale, 1.0) ? QString() : QStringLiteral(" scale %1").arg(m.scale))
                     .arg(m.primary ? QStringLiteral(" (primary)") : QString());
    return QStringLiteral("%1 monitors: %2").arg(monitors.size()).arg(parts.join(QStringLiteral(", ")));
}
