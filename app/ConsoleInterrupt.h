#pragma once

// While a console program asks the user something: Ctrl-C, a closed terminal or console
// window, or a polite kill are noted instead of ending it at once, so that it can still undo
// what it did (switch a mode back). One implementation per platform, chosen by CMake.
namespace ConsoleInterrupt {
// From now on such an interruption is noted.
void catchAll();
// Whether one came.
bool interrupted();
// The undo is done: a closing console may take the process now.
void finished();
}
