#include "ConsoleInterrupt.h"

#include <csignal>
#include <initializer_list>

namespace {
volatile std::sig_atomic_t noted = 0;

void note(int)
{
    noted = 1;
}
} // namespace

void ConsoleInterrupt::catchAll()
{
    // SIGHUP: the terminal closed.
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, note);
}

bool ConsoleInterrupt::interrupted()
{
    return noted != 0;
}

void ConsoleInterrupt::finished()
{
}
