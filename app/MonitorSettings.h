#pragma once

#include "DisplayBackend.h"

#include <QList>
#include <QString>

class QSettings;

// The held modes in the settings store. The monitor primary at start keeps the group
// "DisplaySettings"; every other monitor has a group "Monitors/<key>", the key made from its
// identity (safe in an INI file and in the registry), with the same four values, its identity,
// connector and name as last seen, and whether it is locked.
class MonitorSettings
{
public:
    struct Stored
    {
        QString key;
        QString identity;
        QString connector;
        QString name;
        bool locked = false;
        DisplayMode mode;
        bool usable = false; // whether `mode` holds anything; see usable()
    };

    // The key of the group of the monitor on `output`.
    static QString keyFor(const DisplayOutput &output);
    // The group a key names, "Monitors/<key>".
    static QString groupFor(const QString &key);

    // Whether four values can be a display mode at all: stored values that cannot are
    // held nowhere and never reach a platform call.
    static bool usable(const DisplayMode &mode);
    // The four values of `group`, each missing one taken from `fallback`; `ok` tells whether
    // they are numbers and usable().
    static DisplayMode readMode(QSettings &settings, const QString &group, const DisplayMode &fallback, bool *ok);
    static void writeMode(QSettings &settings, const QString &group, const DisplayMode &mode);

    // Every "Monitors" group.
    static QList<Stored> monitors(QSettings &settings);
    // Stores `output`'s monitor with `mode` (locked) or marks it unlocked, and syncs.
    static void store(QSettings &settings, const DisplayOutput &output, const DisplayMode &mode, bool locked);

    // "WxH B bpp F Hz", for diagnostics.
    static QString text(const DisplayMode &mode);
};
