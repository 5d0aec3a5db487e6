#include "DisplayPlatform.h"
#include "DisplaySettings.h"

#include "DisplayBackend.h"

#include <QDebug>

DisplaySettings::DisplaySettings(std::unique_ptr<DisplayBackend> platform)
    : QObject(nullptr), backend(platform ? std::move(platform) : DisplayPlatform::create())
{
    if (!backend)
        return;
    output = QString::fromStdString(backend->pinOutput());
    // The list ends at the first number the platform does not know, even if a higher one
    // would answer: mode numbers must stay dense, since table row i is mode i.
    for (int n = 0;; ++n) {
        DisplayMode m;
        if (!backend->mode(n, m))
            break;
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
    return bool(backend);
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
    DisplayMode m;
    const DisplayBackend::OutputState state =
        backend ? backend->current(m) : DisplayBackend::OutputState::Unreadable;
    if (mode)
        *mode = state == DisplayBackend::OutputState::Active ? m : DisplayMode();
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
    if (!backend)
        return DisplayBackend::OutputState::Unreadable;
    return backend->availability(mode);
}

QString DisplaySettings::outputName() const
{
    return output;
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
    qDebug().noquote() << QStringLiteral("applyDisplaySetting():%1 %2 %3 %4")
                              .arg(m.BitsPerPel)
                              .arg(m.PelsWidth)
                              .arg(m.PelsHeight)
                              .arg(m.DisplayFrequency);
    return backend ? backend->apply(m) : DisplayBackend::ApplyResult::Failed;
}

void DisplaySettings::setChangeCallback(std::function<void()> callback)
{
    if (backend)
        backend->setChangeCallback(std::move(callback));
}
