#pragma once

#include "DisplayBackend.h"

#include <QList>
#include <QString>

#include <vector>

class QSettings;

// How a set of monitors is laid out: for each monitor that is on, its mode, place, rotation,
// scale and whether it is primary. It belongs to its set, recognised by the monitors'
// identities, and is kept by value: a restore puts back what was on screen when it was taken.
class Arrangement
{
public:
    struct Monitor
    {
        QString key; // MonitorSettings::keyFor()
        QString identity;
        QString connector; // where it was when taken
        DisplayMode mode;
        int x = 0;
        int y = 0;
        int transform = Normal;
        double scale = 1.0;
        bool primary = false;
    };

    QString key; // of the set: setKey()
    QList<Monitor> monitors;
    bool held = false;

    // The arrangement of the monitors on in `outputs`; empty (no key) with fewer than two on
    // in a mode, or when one's mode cannot be read.
    static Arrangement of(const std::vector<DisplayOutput> &outputs);
    // The key of the set of monitors on in `outputs`: their keys, sorted, so that a set is the
    // same whatever order the platform lists it in. Safe in INI files and the registry.
    static QString setKey(const std::vector<DisplayOutput> &outputs);

    bool isEmpty() const { return key.isEmpty(); }
    // Whether the monitor with `monitorKey` is in it.
    bool contains(const QString &monitorKey) const;
    // Whether every stored value can be put back (modes that are modes, transforms 0..7,
    // scales that are scales, places a platform takes).
    bool usable() const;

    // What brings `outputs` back to this arrangement when they show its set (empty: as held,
    // or another set is on): each monitor's mode, place, rotation, scale and the primary where
    // they differ and `has` them.
    std::vector<OutputChange> changesFrom(const std::vector<DisplayOutput> &outputs, const LayoutFeatures &has) const;

    // Every stored arrangement; the store's, with its "Held" flag.
    static QList<Arrangement> load(QSettings &settings);
    // Stores it (replacing what its set had) and syncs.
    void save(QSettings &settings) const;
    static void setHeld(QSettings &settings, const QString &key, bool held);
    // Sets `monitorKey`'s mode in the stored arrangements that hold it; true when one did.
    static bool setMode(QSettings &settings, const QString &monitorKey, const DisplayMode &mode);

    // "3 monitors: DP-1 1920x1080 60 Hz at 0,0 (primary), ..." for diagnostics.
    QString text() const;
};
