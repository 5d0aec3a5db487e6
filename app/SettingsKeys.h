#pragma once

#include <QString>

// Names in the settings store, in one place for every reader and writer.
namespace SettingsKeys {
inline const QString Organization = QStringLiteral("Orvanne");
inline const QString Application = QStringLiteral("Velmora");

inline const QString InfoGroup = QStringLiteral("Info");
inline const QString Version = QStringLiteral("Version");

inline const QString UiGroup = QStringLiteral("Ui");
inline const QString AutoRun = QStringLiteral("AutoRun");
inline const QString ShowTray = QStringLiteral("ShowTray");

inline const QString DeamonGroup = QStringLiteral("Deamon");
// The poll interval (first stored as AppPlatform::seededIntervalKey()).
inline const QString Interval = QStringLiteral("msec");
constexpr int DefaultInterval = 1000;
// Programs that may change the mode: the lock steps aside while one runs (a string list).
inline const QString AllowedPrograms = QStringLiteral("AllowedPrograms");

inline const QString DisplayGroup = QStringLiteral("DisplaySettings");
inline const QString PelsWidth = QStringLiteral("PelsWidth");
inline const QString PelsHeight = QStringLiteral("PelsHeight");
inline const QString BitsPerPel = QStringLiteral("BitsPerPel");
inline const QString DisplayFrequency = QStringLiteral("DisplayFrequency");

// Every held monitor but the one primary at start: "Monitors/<key>/...".
inline const QString MonitorsGroup = QStringLiteral("Monitors");
inline const QString Identity = QStringLiteral("Identity");
inline const QString Connector = QStringLiteral("Connector");
inline const QString Name = QStringLiteral("Name");
inline const QString Locked = QStringLiteral("Locked");
} // namespace SettingsKeys

namespace SettingsKeys {
// Held arrangements, one subgroup per set of monitors: "Arrangements/<set>/Held" and the array
// "Arrangements/<set>/Monitors/<n>/..." with each monitor's place.
inline const QString ArrangementsGroup = QStringLiteral("Arrangements");
inline const QString Held = QStringLiteral("Held");
inline const QString MonitorsArray = QStringLiteral("Monitors");
inline const QString X = QStringLiteral("X");
inline const QString Y = QStringLiteral("Y");
inline const QString Rotation = QStringLiteral("Rotation");
inline const QString Scale = QStringLiteral("Scale");
inline const QString Primary = QStringLiteral("Primary");
} // namespace SettingsKeys
