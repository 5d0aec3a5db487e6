#pragma once

#include "DisplayBackend.h"

#include <QMap>
#include <QObject>

#include <memory>


// The catalogue of the primary display's modes, listed once at construction. Shared by the GUI
// thread and the lock thread: after the constructor nothing here changes, so the const queries
// need no lock; the platform calls are made safe by the backend itself.
class DisplaySettings : public QObject
{
    Q_OBJECT

public:
    // Without a backend, the platform's own (DisplayBackend::create()).
    explicit DisplaySettings(std::unique_ptr<DisplayBackend> backend = nullptr);
    ~DisplaySettings() override;

    int count() const;
    int pelsWidth(int index) const;
    int pelsHeight(int index) const;
    int bitsPerPel(int index) const;
    int displayFrequency(int index) const;

    // The settings in force, asked afresh on every call; 0 when they cannot be read.
    int currentPelsWidth() const;
    int currentPelsHeight() const;
    int currentBitsPerPel() const;
    int currentDisplayFrequency() const;
    // All four in one read, so they belong to one mode even while it changes; zeros when
    // the settings cannot be read.
    DisplayMode currentMode() const;

    // Lowest mode number with these values; else currentIndex().
    int indexOf(int width, int height, int bitsPerPel, int displayFrequency) const;
    // Lowest mode number equal to the settings in force; -1 when none is.
    int currentIndex() const;

    // Switches to mode `index` (-1: the settings in force again). True when the platform
    // accepted the change.
    bool applyDisplaySetting(int index);

private:
    DisplayMode entry(int index) const;
    int firstIndexOf(const DisplayMode &mode) const;

    std::unique_ptr<DisplayBackend> backend;
    QMap<int, DisplayMode> modes;
};
