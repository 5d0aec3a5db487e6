#include "DisplaySettings.h"

#include "DisplayBackend.h"

#include <QDebug>

DisplaySettings::DisplaySettings(std::unique_ptr<DisplayBackend> platform)
    : QObject(nullptr), backend(platform ? std::move(platform) : DisplayBackend::create())
{
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

DisplayMode DisplaySettings::currentMode() const
{
    DisplayMode m;
    if (!backend->mode(DisplayBackend::CurrentSettings, m))
        return DisplayMode();
    return m;
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

bool DisplaySettings::applyDisplaySetting(int index)
{
    DisplayMode m;
    const bool known = backend->mode(index, m);
    if (!known)
        m = DisplayMode();
    qDebug().noquote() << QStringLiteral("applyDisplaySetting():%1 %2 %3 %4")
                              .arg(m.BitsPerPel)
                              .arg(m.PelsWidth)
                              .arg(m.PelsHeight)
                              .arg(m.DisplayFrequency);
    // A number the platform does not list (any more) is not handed on as an all-zero mode.
    if (!known)
        return false;
    return backend->apply(index);
}
