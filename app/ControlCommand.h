#pragma once

#include "DisplayBackend.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QSettings>
#include <QStringList>

#include <memory>
#include <vector>

class DisplaySettings;
class SingleInstance;

// velmoractl: lists monitors and modes, and holds or lets go of monitors, through the running
// Velmora when there is one, else in the stored settings it starts from.
class ControlCommand
{
    Q_DECLARE_TR_FUNCTIONS(velmoractl)

public:
    enum Exit { Done = 0, Failed = 1, Usage = 2, NotRunning = 3 };

    // How long the terminal's keep-or-revert question waits for an answer.
    static constexpr int DefaultQuestionMs = 15000;
    // What a running Velmora waits beyond the question before it holds the monitor again.
    static constexpr int TrialMarginMs = 5000;

    ControlCommand();
    ~ControlCommand();

    // `arguments` without the program's name; the exit code.
    int run(const QStringList &arguments);
    // Whether the terminal was asked something: its reader may still wait for input.
    bool asked() const { return m_asked; }

    static QString usage();

private:
    struct Target
    {
        QString monitor; // as the user named it
        DisplayOutput output;
        bool connected = false;
        bool primary = false;
    };

    int list(const QString &monitor);
    int listModes(const Target &target);
    int status();
    int hold(const QString &monitor, const QString &mode);
    int release(const QString &monitor);
    int releaseAll();
    int holdArrangement();
    int releaseArrangement();
    int allow(const QString &program, bool allowed);
    int listAllowed();

    bool readDisplay();
    // The monitor named `name` among the connected ones (connector, \\.\NAME, identity or
    // "primary"); a monitor held in the store and not connected when `stored` allows.
    bool resolve(const QString &name, Target *target, bool stored);
    // The stored held mode of `target`: "DisplaySettings" for the primary, else its group.
    bool storedHold(const Target &target, DisplayMode *mode);
    void storeHold(const Target &target, const DisplayMode &mode, bool locked);
    // The running Velmora's answer; false with the exit code in *exit when it did not answer.
    bool askVelmora(const QByteArray &request, QByteArray *answer, int *exit);
    // Has the running Velmora do `request`: Done, NotRunning, or Failed (said).
    int tellVelmora(const QByteArray &request);
    // Holds `mode` on the monitor, through Velmora or in the store.
    int holdNow(const Target &target, const DisplayMode &mode);
    bool keepAnswered();

    int fail(const QString &why) const;
    int usageError(const QString &why) const;
    void say(const QString &line) const;

    std::shared_ptr<DisplayBackend> backend;
    std::vector<DisplayOutput> outputs;
    QSettings settings;
    std::unique_ptr<SingleInstance> instance;
    bool json = false;
    bool yes = false;
    bool arrangement = false;
    bool m_asked = false;
};
