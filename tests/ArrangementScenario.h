#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>

class ProgramHome;

// The whole program (-d) holding the arrangement of a real host's monitors, taken with
// velmoractl, against other programs: the same steps on every host, the host's own part in
// these hooks, each witnessed with the host's own tools. Failures fail the calling test.
class ArrangementScenario
{
public:
    QStringList monitors; // the connectors, as velmoractl status lists the held set
    // Another program's arrangement of the same monitors: places, a rotation, a scale and,
    // where the host has one, another primary.
    std::function<bool()> foreign;
    // Whether the host shows the arrangement as it was held.
    std::function<bool()> held;
    // Another program switches one monitor off, placing the others; whether the host shows
    // just that. Without them (a host that cannot switch one off and go on) that step is left out.
    std::function<bool()> unplug;
    std::function<bool()> unplugged;
    // That monitor on again, in the foreign arrangement.
    std::function<bool()> dock;
    // The host as it was found; run() calls it last, whatever happened.
    std::function<void()> reset;
    // The program's poll. The other program undoes each restore within two of them, or
    // Velmora does not count it as a fight: a slow witness needs a longer one.
    int interval = 1000;

    // Starts the program in `home` (-d), holds the arrangement on show
    // and goes through every step; the program is stopped at the end.
    void run(const ProgramHome &home, const QProcessEnvironment &env) const;

private:
    QString status(const ProgramHome &home, const QProcessEnvironment &env) const;
};
