#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class AutoRunStore;
class QCoreApplication;
class QLocalSocket;

// What differs between Windows and Unix above the display layer, in one place: the log-on
// start list, the name the poll interval is first stored under, the single-instance channel's
// name and whom it may trust, how a polite request to end arrives, a console's interrupts, and
// this account's running programs.
// One implementation per platform (AppPlatformUnix.cpp, AppPlatformWin32.cpp), chosen by CMake.
namespace AppPlatform {
// The log-on start list: the freedesktop autostart folder, or the Run key of the registry.
std::unique_ptr<AutoRunStore> autoRunStore();

// The poll interval's name when it is first stored. The registry matches names without regard
// to case, so on Windows the seeded "mSec" is the entry read as "msec"; INI keys are
// case-sensitive, so elsewhere the seeding writes the very name that is read.
QString seededIntervalKey();

// The single-instance channel in `directory` (the user's own folder): a socket path there, or on
// Windows a pipe named after the account, whose names are machine-wide.
QString instanceServerName(const QString &directory);
// Whether the program serving `socket` runs as this account (another one may have made a pipe of
// that name first). Where the socket lies in a folder only this user can enter, it does.
bool serverIsOurs(QLocalSocket &socket);

// Start-up: a polite request to end (SIGTERM, SIGINT, SIGHUP on Unix) quits `app` as the tray's
// Exit does, once its event loop runs. The returned object must live as long as the loop.
std::unique_ptr<QObject> quitOnEndRequests(QCoreApplication &app);

// While a console program asks the user something: Ctrl-C, a closed terminal or console window,
// or a polite kill are noted instead of ending it at once, so that it can still undo what it did.
void catchConsoleInterrupts();
bool consoleInterrupted();
// The undo is done: a closing console may take the process now.
void consoleUndone();

// A running program of this account, with the names it counts by (AllowedPrograms::namesOf).
struct Program
{
    qint64 pid = 0;
    QStringList names;
};
// One look at the running programs; only this account's.
std::vector<Program> programs();
// How program names compare: on Windows without regard to case, as its file names do.
Qt::CaseSensitivity programNameCase();
// Calls `ended` once, in the calling thread's event loop, when process `pid` has ended, without
// looking at it again meanwhile; deleting the returned object stops the watch. Null when the
// process has ended already.
std::unique_ptr<QObject> watchEnd(qint64 pid, std::function<void()> ended);
} // namespace AppPlatform
