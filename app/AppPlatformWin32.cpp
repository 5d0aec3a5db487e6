#include "AppPlatform.h"

#include "RunKeyAutoRunStore.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <QWinEventNotifier>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <atomic>
#include <memory>

namespace {
// The SID of the account `process` runs as ("S-1-5-21-..."); empty when it cannot be read.
QString accountOf(HANDLE process)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return QString();
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::unique_ptr<BYTE[]> buffer(new BYTE[size ? size : 1]);
    QString sid;
    wchar_t *text = nullptr;
    if (size && GetTokenInformation(token, TokenUser, buffer.get(), size, &size)
        && ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.get())->User.Sid, &text)) {
        sid = QString::fromWCharArray(text);
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

QString userSid()
{
    return accountOf(GetCurrentProcess());
}

std::atomic<bool> consoleNoted{false};
HANDLE consoleUndoneEvent = nullptr;

BOOL WINAPI noteConsole(DWORD event)
{
    consoleNoted = true;
    // A closing console window, log-off or shut-down ends the process when this returns:
    // wait (Windows allows about 5 s) until the undo is done.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(consoleUndoneEvent, 4500);
    return TRUE;
}
} // namespace

std::unique_ptr<AutoRunStore> AppPlatform::autoRunStore()
{
    return std::make_unique<RunKeyAutoRunStore>();
}

QString AppPlatform::seededIntervalKey()
{
    return QStringLiteral("mSec");
}

QString AppPlatform::instanceServerName(const QString &)
{
    // Pipe names are machine-wide: the name is the account's own (its SID, which no other
    // account has, unlike a home folder's path), and the pipe only this account may open.
    return QStringLiteral("velmora-") + userSid();
}

bool AppPlatform::serverIsOurs(QLocalSocket &socket)
{
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(reinterpret_cast<HANDLE>(socket.socketDescriptor()), &pid))
        return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return false;
    const QString server = accountOf(process);
    CloseHandle(process);
    return !server.isEmpty() && server == userSid();
}

std::unique_ptr<QObject> AppPlatform::quitOnEndRequests(QCoreApplication &)
{
    // Log-off and shut-down reach a Windows GUI program as WM_QUERYENDSESSION/WM_ENDSESSION,
    // which Qt turns into a normal quit.
    return std::make_unique<QObject>();
}

void AppPlatform::catchConsoleInterrupts()
{
    if (!consoleUndoneEvent)
        consoleUndoneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(noteConsole, TRUE);
}

bool AppPlatform::consoleInterrupted()
{
    return consoleNoted;
}

void AppPlatform::consoleUndone()
{
    if (consoleUndoneEvent)
        SetEvent(consoleUndoneEvent);
}

std::vector<AppPlatform::Program> AppPlatform::programs()
{
    std::vector<Program> found;
    const QString me = userSid();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        // Other accounts' processes do not open for this query, or run as another SID.
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        const bool ours = accountOf(process) == me;
        CloseHandle(process);
        // szExeFile is the executable's whole file name.
        if (ours)
            found.push_back({qint64(entry.th32ProcessID), {QString::fromWCharArray(entry.szExeFile)}});
    }
    CloseHandle(snapshot);
    return found;
}

Qt::CaseSensitivity AppPlatform::programNameCase()
{
    return Qt::CaseInsensitive;
}

std::unique_ptr<QObject> AppPlatform::watchEnd(qint64 pid, std::function<void()> ended)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return nullptr;
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
        CloseHandle(process);
        return nullptr;
    }
    auto watch = std::make_unique<QObject>();
    // The process handle is signalled when it ends.
    auto *notifier = new QWinEventNotifier(process, watch.get());
    QObject::connect(notifier, &QObject::destroyed, [process] { CloseHandle(process); });
    QObject::connect(notifier, &QWinEventNotifier::activated, watch.get(), [notifier, ended] {
        notifier->setEnabled(false);
        ended();
    });
    return watch;
}
