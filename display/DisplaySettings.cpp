#include "DisplayPlatform.h"
#include "DisplaySettings.h"

#include "DisplayBackend.h"
#include "MonitorIdentity.h"

#include <QDebug>

DisplaySettings::DisplaySettings(std::unique_ptr<DisplayBackend> platform)
    : QObject(nullptr), m_backend(platform ? std::move(platform) : DisplayPlatform::create())
{
    if (!m_backend)
        return;
    std::vector<DisplayOutput> all;
    if (!m_backend->readOutputs(all))
        all.clear();
    const std::string pinned = DisplayBackend::primaryOf(all);
    const DisplayOutput *o = nullptr;
    DisplayBackend::stateOf(all, pinned, &o);
    if (o)
        m_monitor = *o;
    m_monitor.name = pinned;
    list();
}

DisplaySettings::DisplaySettings(std::shared_ptr<DisplayBackend> shared, const DisplayOutput &output)
    : QObject(nullptr), m_backend(std::move(shared)), m_monitor(output)
{
    if (m_backend)
        list();
}

void DisplaySettings::list()
{
    std::vector<DisplayMode> listed;
    if (m_monitor.name.empty() || !m_backend->readModes(m_monitor.name, listed))
        return;
    for (int n = 0; n < int(listed.size()); ++n) {
        const DisplayMode &m = listed[size_t(n)];
        qDebug().noquote() << QStringLiteral("%1: %2 %3 %4 %5")
                                  .arg(n)
                                  .arg(m.PelsWidth)
                                  .arg(m.PelsHeight)
                                  .arg(m.BitsPerPel)
                                  .arg(m.DisplayFrequency);
        modes.insert(n, m);
    }
}

DisplaySettings::~DisplaySettings() = default;

bool DisplaySettings::supported() const
{
    return bool(m_backend);
}

std::shared_ptr<DisplayBackend> DisplaySettings::backend() const
{
    return m_backend;
}

std::vector<DisplayOutput> DisplaySettings::outputs() const
{
    std::vector<DisplayOutput> all;
    if (m_backend && !m_backend->readOutputs(all))
        all.clear();
    return all;
}

const DisplayOutput &DisplaySettings::monitor() const
{
    return m_monitor;
}

const DisplayOutput *DisplaySettings::find(const std::vector<DisplayOutput> &all) const
{
    return MonitorIdentity::find(all, m_monitor.identity, m_monitor.name);
}

int DisplaySettings::count() const
{
    return int(modes.size());
}

DisplayMode DisplaySettings::entry(int index) const
{
    // value() on a const map never inserts or detaches: safe from both threads.
    return modes.value(index);
}

int DisplaySettings::pelsWidth(int index) const { return entry(index).PelsWidth; }
int DisplaySettings::pelsHeight(int index) const { return entry(index).PelsHeight; }
int DisplaySettings::bitsPerPel(int index) const { return entry(index).BitsPerPel; }
int DisplaySettings::displayFrequency(int index) const { return entry(index).DisplayFrequency; }

DisplayBackend::OutputState DisplaySettings::currentState(DisplayMode *mode) const
{
    if (mode)
        *mode = DisplayMode();
    std::vector<DisplayOutput> all;
    if (m_monitor.name.empty() || !m_backend->readOutputs(all))
        return m_monitor.name.empty() && m_backend ? DisplayBackend::OutputState::Absent
                                                   : DisplayBackend::OutputState::Unreadable;
    const DisplayOutput *o = find(all);
    if (!o)
        return DisplayBackend::OutputState::Absent;
    const DisplayBackend::OutputState state = DisplayBackend::stateOf(all, o->name);
    if (mode && state == DisplayBackend::OutputState::Active)
        *mode = o->current;
    return state;
}

DisplayMode DisplaySettings::currentMode() const
{
    DisplayMode m;
    currentState(&m);
    return m;
}

DisplayBackend::OutputState DisplaySettings::availability(int index) const
{
    if (!modes.contains(index))
        return DisplayBackend::OutputState::NotOffered;
    return availability(entry(index));
}

DisplayBackend::OutputState DisplaySettings::availability(const DisplayMode &mode) const
{
    if (!m_backend)
        return DisplayBackend::OutputState::Unreadable;
    std::vector<DisplayOutput> all;
    if (!m_backend->readOutputs(all))
        return DisplayBackend::OutputState::Unreadable;
    const DisplayOutput *o = find(all);
    if (!o)
        return DisplayBackend::OutputState::Absent;
    std::vector<DisplayMode> listed;
    if (o->state != DisplayOutput::State::Off && !m_backend->readModes(o->name, listed))
        return DisplayBackend::OutputState::Unreadable;
    int number = 0;
    switch (DisplayBackend::check(o, listed, mode, &number)) {
    case DisplayBackend::ApplyResult::Applied:
        return o->state == DisplayOutput::State::Active ? DisplayBackend::OutputState::Active
                                                        : DisplayBackend::OutputState::Unreadable;
    case DisplayBackend::ApplyResult::Off:
        return DisplayBackend::OutputState::Off;
    default:
        return DisplayBackend::OutputState::NotOffered;
    }
}

QString DisplaySettings::outputName() const
{
    return QString::fromStdString(m_monitor.name);
}

int DisplaySettings::currentPelsWidth() const { return currentMode().PelsWidth; }
int DisplaySettings::currentPelsHeight() const { return currentMode().PelsHeight; }
int DisplaySettings::currentBitsPerPel() const { return currentMode().BitsPerPel; }
int DisplaySettings::currentDisplayFrequency() const { return currentMode().DisplayFrequency; }

int DisplaySettings::firstIndexOf(const DisplayMode &mode) const
{
    for (auto it = modes.cbegin(); it != modes.cend(); ++it) {
        if (it.value() == mode)
            return it.key();
    }
    return -1;
}

int DisplaySettings::indexOf(int width, int height, int bitsPerPel, int displayFrequency) const
{
    const int index = firstIndexOf({width, height, bitsPerPel, displayFrequency});
    return index >= 0 ? index : currentIndex();
}

int DisplaySettings::currentIndex() const
{
    // One read of the settings in force, not one per field: four reads could straddle a mode
    // switch and combine the width of one mode with the height of another.
    return firstIndexOf(currentMode());
}

int DisplaySettings::currentIndex(DisplayBackend::OutputState *state) const
{
    DisplayMode m;
    const DisplayBackend::OutputState s = currentState(&m);
    if (state)
        *state = s;
    return s == DisplayBackend::OutputState::Active ? firstIndexOf(m) : -1;
}

bool DisplaySettings::applyDisplaySetting(int index)
{
    DisplayMode m;
    if (index == -1) {
        if (currentState(&m) != DisplayBackend::OutputState::Active) {
            qDebug().noquote() << QStringLiteral("applyDisplaySetting(): the settings in force cannot be read");
            return false;
        }
    } else if (modes.contains(index)) {
        m = entry(index);
    } else {
        // Not a number of this catalogue: there are no values to ask for.
        qDebug().noquote() << QStringLiteral("applyDisplaySetting(): no mode %1").arg(index);
        return false;
    }
    return applyDisplayMode(m) == DisplayBackend::ApplyResult::Applied;
}

DisplayBackend::ApplyResult DisplaySettings::applyDisplayMode(const DisplayMode &m)
{
    qDebug().noquote() << applyLine(m);
    if (!m_backend)
        return DisplayBackend::ApplyResult::Failed;
    if (m_monitor.name.empty())
        return DisplayBackend::ApplyResult::Absent;
    // Wherever the monitor is connected now; where it cannot be read, where it was.
    std::vector<DisplayOutput> all;
    std::string connector = m_monitor.name;
    if (m_backend->readOutputs(all)) {
        const DisplayOutput *o = find(all);
        if (!o)
            return DisplayBackend::ApplyResult::Absent;
        connector = o->name;
    }
    return m_backend->applyModes({{connector, m}});
}

QString DisplaySettings::applyLine(const DisplayMode &m)
{
    return QStringLiteral("applyDisplaySetting():%1 %2 %3 %4")
        .arg(m.BitsPerPel)
        .arg(m.PelsWidth)
        .arg(m.PelsHeight)
        .arg(m.DisplayFrequency);
}

void DisplaySettings::setChangeCallback(std::function<void()> callback)
{
    if (m_backend)
        m_backend->setChangeCallback(std::move(callback));
}
