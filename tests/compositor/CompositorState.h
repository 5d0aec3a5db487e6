#pragma once
// What the test compositor offers: its outputs and how it answers configurations, as read from
// the JSON file the test writes, and as written back for the test to read.
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

class CompositorState
{
public:
    struct Mode
    {
        int width = 0;
        int height = 0;
        int refresh = 0; // mHz
        bool operator==(const Mode &o) const
        {
            return width == o.width && height == o.height && refresh == o.refresh;
        }
        bool operator!=(const Mode &o) const { return !(*this == o); }
    };

    struct Output
    {
        QString name;
        QList<Mode> modes;
        int preferred = -1;
        int current = -1;          // index into modes, or -1
        std::optional<Mode> custom; // the mode in use when it is none of the list's
        bool enabled = true;
        int x = 0;
        int y = 0;
        int transform = 0;
        double scale = 1.0;
        int physicalWidth = 0; // mm
        int physicalHeight = 0;
        // The monitor on it, as the protocols tell it.
        QString make = QStringLiteral("Velmora");
        QString model = QStringLiteral("Test output");
        QString serial; // the output's name when not given
        QByteArray edid; // KDE only; none when empty

        // The list as the protocols announce it: a custom mode in use comes last.
        QList<Mode> announcedModes() const;
        // Index of the mode in use in announcedModes(), or -1.
        int announcedCurrent() const;
        std::optional<Mode> currentMode() const;
        // Makes `mode` the one in use: its place in the list, else a custom mode.
        void setCurrent(const Mode &mode);
        // An output switched on without a mode takes the preferred one, else the first.
        void ensureCurrent();
    };

    enum class Answer { Succeeded, Failed, Cancelled };

    QList<Output> outputs;
    QString primary;
    bool customModes = false;
    Answer nextApply = Answer::Succeeded;
    bool staleOnce = false;
    // wlroots: a new `done` after every answer, failed and cancelled ones too, as sway does.
    bool doneAfterAnswer = false;
    int applyDelayMs = 0;

    // Empty with *error set when the file cannot be read or is malformed.
    static std::optional<CompositorState> load(const QString &path, QString *error);
    static std::optional<CompositorState> fromJson(const QJsonObject &root, QString *error);
    QJsonObject toJson() const;

    const Output *output(const QString &name) const;
    Output *output(const QString &name);
};
