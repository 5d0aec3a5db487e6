// Drives Win32DisplayBackend under Wine for scripts/wine-tests.sh.
//
// Inside Wine the program cannot look at the X server, so it checks here only what the backend
// hands back to its callers, and prints what it listed and applied in lines that the script
// compares with xrandr from outside.
//
// Usage: tst_win32display.exe COMMAND...   (run in order, in one process)
//   list             "mode N W H B F" for every mode, then "count C"
//   current          "current W H B F" and "current-index K" (first listed mode equal to it)
//   apply N          "apply N W H B F": mode N must be accepted and become the current settings
//   refuse N         "refused N W H B F": mode N is listed but must be refused
//   apply-missing    numbers past the end of the list must be refused
//   reapply-current  "reapplied W H B F": applying -1 must be accepted, settings unchanged
//   threads          enumerating and re-applying from two threads at once
//   wait             prints "waiting", then blocks until a line arrives on stdin
// The last line is "N passed, N failed"; the exit code is 1 when a check failed.

#include "Win32DisplayBackend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const std::string &what)
{
    if (ok)
        ++passed;
    else
        ++failed;
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
}

std::string str(const DisplayMode &m)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d %d %d %d", m.PelsWidth, m.PelsHeight, m.BitsPerPel,
                  m.DisplayFrequency);
    return buf;
}

std::vector<DisplayMode> enumerate(DisplayBackend &backend)
{
    std::vector<DisplayMode> modes;
    DisplayMode m;
    while (backend.mode(static_cast<int>(modes.size()), m))
        modes.push_back(m);
    return modes;
}

bool current(DisplayBackend &backend, DisplayMode &out)
{
    return backend.mode(DisplayBackend::CurrentSettings, out);
}

// Mode number argument of a command; exits on a malformed command line.
int number(int argc, char **argv, int &i)
{
    char *end = nullptr;
    const long n = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
    if (i + 1 >= argc || *end != '\0') {
        std::fprintf(stderr, "%s needs a mode number\n", argv[i]);
        std::exit(2);
    }
    ++i;
    return static_cast<int>(n);
}

void list(DisplayBackend &backend)
{
    const std::vector<DisplayMode> modes = enumerate(backend);
    for (size_t n = 0; n < modes.size(); ++n)
        std::printf("mode %zu %s\n", n, str(modes[n]).c_str());
    std::printf("count %zu\n", modes.size());

    const int count = static_cast<int>(modes.size());
    check(count > 0, "the display lists modes");
    DisplayMode m;
    bool beyond = false;
    for (int n : {count + 1, count + 2, count + 100})
        beyond = beyond || backend.mode(n, m);
    check(!beyond, "nothing is listed past the first failing number");
    // apply(n) looks mode n up again, so the numbering must not move between calls.
    check(enumerate(backend) == modes, "a second enumeration gives the same numbers and values");
}

void showCurrent(DisplayBackend &backend)
{
    DisplayMode now;
    const bool read = current(backend, now);
    check(read, "the current settings can be read");
    if (!read)
        return;
    std::printf("current %s\n", str(now).c_str());
    const std::vector<DisplayMode> modes = enumerate(backend);
    int index = -1;
    for (size_t n = 0; n < modes.size() && index < 0; ++n)
        if (modes[n] == now)
            index = static_cast<int>(n);
    std::printf("current-index %d\n", index);
    check(index >= 0, "the current settings are one of the listed modes");
}

void apply(DisplayBackend &backend, int n)
{
    DisplayMode wanted;
    if (!backend.mode(n, wanted)) {
        check(false, "apply " + std::to_string(n) + ": mode is listed");
        return;
    }
    const bool accepted = backend.apply(n);
    std::printf("apply %d %s\n", n, str(wanted).c_str());
    check(accepted, "apply " + std::to_string(n) + " (" + str(wanted) + ") is accepted");
    DisplayMode now;
    const bool switched = current(backend, now) && now == wanted;
    check(switched, "after apply " + std::to_string(n) + " the current settings are " + str(wanted)
              + " (read " + str(now) + ")");
}

void refuse(DisplayBackend &backend, int n)
{
    DisplayMode listed, before, after;
    const bool isListed = backend.mode(n, listed);
    check(isListed, "refuse " + std::to_string(n) + ": mode is still listed");
    const bool read = current(backend, before);
    const bool accepted = backend.apply(n);
    std::printf("refused %d %s\n", n, str(listed).c_str());
    check(!accepted, "apply " + std::to_string(n) + " (" + str(listed)
                         + "), which the display no longer has, is refused");
    const bool kept = read && current(backend, after) && after == before;
    check(kept,
          "a refused mode leaves the current settings at " + str(before));
}

void applyMissing(DisplayBackend &backend)
{
    const int count = static_cast<int>(enumerate(backend).size());
    DisplayMode before, after;
    const bool read = current(backend, before);
    for (int n : {count, count + 1, 0x7FFFFFFF})
        check(!backend.apply(n), "apply " + std::to_string(n) + " (not listed) is refused");
    const bool kept = read && current(backend, after) && after == before;
    check(kept,
          "refusals leave the current settings at " + str(before));
}

void reapplyCurrent(DisplayBackend &backend)
{
    DisplayMode before, after;
    const bool read = current(backend, before);
    const bool accepted = backend.apply(DisplayBackend::CurrentSettings);
    std::printf("reapplied %s\n", str(before).c_str());
    check(read && accepted, "apply -1 (" + str(before) + ") is accepted");
    const bool kept = current(backend, after) && after == before;
    check(kept, "apply -1 keeps the current settings (read " + str(after) + ")");
}

// The GUI thread enumerates and reads while the lock thread re-applies: neither may see the
// other's work as a gap in the list or a changed mode.
void threads(DisplayBackend &backend)
{
    const std::vector<DisplayMode> modes = enumerate(backend);
    DisplayMode now;
    const bool read = current(backend, now);
    int badLists = 0, badReads = 0, refusals = 0;

    std::thread lister([&] {
        for (int round = 0; round < 4; ++round) {
            if (enumerate(backend) != modes)
                ++badLists;
            DisplayMode m;
            if (!current(backend, m) || m != now)
                ++badReads;
        }
    });
    std::thread locker([&] {
        for (int round = 0; round < 8; ++round) {
            if (!backend.apply(DisplayBackend::CurrentSettings))
                ++refusals;
            DisplayMode m;
            if (!current(backend, m) || m != now)
                ++badReads;
        }
    });
    lister.join();
    locker.join();

    check(read && !modes.empty(), "threads: the list and the current settings can be read");
    check(badLists == 0, "threads: enumeration during re-applies gives the same list ("
                             + std::to_string(badLists) + " of 4 differ)");
    check(refusals == 0, "threads: re-applies during enumeration are accepted ("
                             + std::to_string(refusals) + " of 8 refused)");
    check(badReads == 0, "threads: current settings stay " + str(now) + " ("
                             + std::to_string(badReads) + " of 12 reads differ)");
}

void wait()
{
    std::printf("waiting\n");
    std::fflush(stdout);
    char line[64];
    if (!std::fgets(line, sizeof line, stdin))
        std::fprintf(stderr, "wait: stdin closed\n");
}

} // namespace

int main(int argc, char **argv)
{
    Win32DisplayBackend backend;
    for (int i = 1; i < argc; ++i) {
        const char *cmd = argv[i];
        if (!std::strcmp(cmd, "list"))
            list(backend);
        else if (!std::strcmp(cmd, "current"))
            showCurrent(backend);
        else if (!std::strcmp(cmd, "apply"))
            apply(backend, number(argc, argv, i));
        else if (!std::strcmp(cmd, "refuse"))
            refuse(backend, number(argc, argv, i));
        else if (!std::strcmp(cmd, "apply-missing"))
            applyMissing(backend);
        else if (!std::strcmp(cmd, "reapply-current"))
            reapplyCurrent(backend);
        else if (!std::strcmp(cmd, "threads"))
            threads(backend);
        else if (!std::strcmp(cmd, "wait"))
            wait();
        else {
            std::fprintf(stderr, "unknown command %s\n", cmd);
            return 2;
        }
        std::fflush(stdout);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
