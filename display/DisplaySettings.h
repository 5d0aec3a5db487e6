#pragma once

#include "DisplayBackend.h"

#include <QMap>
#include <QObject>

#include <functional>
#include <memory>

// The catalogue of one output's modes: the output that is primary at construction, listed once
// then. Every later read and apply goes to that same output, and applies by the entry's values,
// not by the number the platform gives it now (lists get renumbered when modes come and go).
// Shared by the GUI thread and the lock thread: after the constructor nothing here changes, so
// the const queries need no lock; the platform calls are made safe by the backend itself.
class DisplaySettings : public QObject
{
    Q_OBJECT

public:
    // Without a backend, the platform's own (DisplayPlatform::create()).
    explicit DisplaySettings(std::unique_ptr<DisplayBackend> backend = nullptr);
    ~DisplaySettings() override;

    // False on a desktop no backend serves: then nothing is listed, read or applied.
    bool supported() const;

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

    // How the output stands, in one read; `mode` gets its mode when it is Active.
    DisplayBackend::OutputState currentState(DisplayMode *mode = nullptr) const;
    // Whether entry `index` could be applied right now (Active), else why not.
    DisplayBackend::OutputState availability(int index) const;
    // The same for values that may have no entry.
    DisplayBackend::OutputState availability(const DisplayMode &mode) const;
    // The output the catalogue belongs to (empty when there was none).
    QString outputName() const;

    // Lowest mode number with these values; else currentIndex().
    int indexOf(int width, int height, int bitsPerPel, int displayFrequency) const;
    // Lowest mode number with these values; -1 when none has them.
    int firstIndexOf(const DisplayMode &mode) const;
    // Lowest mode number equal to the settings in force; -1 when none is.
    int currentIndex() const;
    // The same, and how the output stands, from one read.
    int currentIndex(DisplayBackend::OutputState *state) const;

    // Puts the output into entry `index`'s values (-1: the settings in force again). True when
    // the platform accepted the change; false, with nothing applied, when the output does not
    // offer those values now, is off or absent.
    bool applyDisplaySetting(int index);
    // The same for values that may have no entry (a trial's way back).
    DisplayBackend::ApplyResult applyDisplayMode(const DisplayMode &mode);

    // Called from any thread when the platform announces a change of the configuration.
    void setChangeCallback(std::function<void()> callback);

private:
    DisplayMode entry(int index) const;

    std::unique_ptr<DisplayBackend> backend;
    QString output;
    QMap<int, DisplayMode> modes;
};
