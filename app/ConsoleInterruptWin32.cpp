#include "ConsoleInterrupt.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>

namespace {
std::atomic<bool> noted{false};
HANDLE undone = nullptr;

BOOL WINAPI note(DWORD event)
{
    noted = true;
    // A closing console window, log-off or shut-down ends the process when this returns:
    // wait (Windows allows about 5 s) until the mode is back.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(undone, 4500);
    return TRUE;
}
} // namespace

void ConsoleInterrupt::catchAll()
{
    if (!undone)
        undone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(note, TRUE);
}

bool ConsoleInterrupt::interrupted()
{
    return noted;
}

void ConsoleInterrupt::finished()
{
    if (undone)
        SetEvent(undone);
}
