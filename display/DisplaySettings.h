#pragma once

#include "DisplayBackend.h"

#include <QMap>
#include <QObject>

#include <functional>
#include <memory>
#include <vector>

// The catalogue of one monitor's modes, listed once at construction: by default the monitor
// primary then. Every later read and apply goes to that same monitor, recognised by its identity
// wherever it is connected now, and applies by the entry's values, not by the number the
// platform gives it now (lists get renumbered when modes come and go). Several catalogues share
// one backend. Shared by the GUI thread and the lock thread: after the constructor nothing here
// changes, so the const queries need no lock; the platform calls are made safe by the backend.
class DisplaySettings : public QObject
{
    Q_OBJECT

public:
    // The primary monitor's. Without a backend, the platform's own (DisplayPlatform::create()).
    explicit DisplaySettings(std::unique_ptr<DisplayBackend> backend = nullptr);
    // The monitor on `output`, through the backend of another catalogue.
    DisplaySettings(std::shared_ptr<DisplayBackend> backend, const DisplayOutput &output);
    ~DisplaySettings() override;

    // False on a desktop no backend serves: then nothing is listed, read or applied.
    bool supported() const;
    std::shared_ptr<DisplayBackend> backend() const;
    // Every connected output now, in one read; empty when the display cannot be read.
    std::vector<DisplayOutput> outputs() const;

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

    // How the monitor stands, in one read; `mode` gets its mode when it is Active.
    DisplayBackend::OutputState currentState(DisplayMode *mode = nullptr) const;
    // Whether entry `index` could be applied right now (Active), else why not.
    DisplayBackend::OutputState availability(int index) const;
    // The same for values that may have no entry.
    DisplayBackend::OutputState availability(const DisplayMode &mode) const;
    // The monitor's connector when the catalogue was made (empty when there was none).
    QString outputName() const;
    // The monitor as it was then: connector, identity, name, primary.
    const DisplayOutput &monitor() const;
    // Where the monitor is in `outputs` now; null when it is not there.
    const DisplayOutput *find(const std::vector<DisplayOutput> &outputs) const;

    // Lowest mode number with these values; else currentIndex().
    int indexOf(int width, int height, int bitsPerPel, int displayFrequency) const;
    // Lowest mode number with these values; -1 when none has them.
    int firstIndexOf(const DisplayMode &mode) const;
    // Lowest mode number equal to the settings in force; -1 when none is.
    int currentIndex() const;
    // The same, and how the monitor stands, from one read.
    int currentIndex(DisplayBackend::OutputState *state) const;

    // Puts the monitor into entry `index`'s values (-1: the settings in force again). True when
    // the platform accepted the change; false, with nothing applied, when the monitor does not
    // offer those values now, is off or absent.
    bool applyDisplaySetting(int index);
    // The same for values that may have no entry (a trial's way back).
    DisplayBackend::ApplyResult applyDisplayMode(const DisplayMode &mode);

    // The diagnostic line of an apply of `mode`.
    static QString applyLine(const DisplayMode &mode);

    // Called from any thread when the platform announces a change of the configuration.
    void setChangeCallback(std::function<void()> callback);

private:
    void list();
    DisplayMode entry(int index) const;

    std::shared_ptr<DisplayBackend> m_backend;
    DisplayOutput m_monitor;
    QMap<int, DisplayMode> modes;
};
