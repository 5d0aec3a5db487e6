#pragma once

// Refresh rates in whole Hz, the way Windows reports them for the same timing: the NTSC-style
// rates n·1000/1001 are cut down (59.94 → 59, 23.976 → 23), every other rate is rounded
// (59.95 → 60, 74.97 → 75). That keeps 59.94 Hz and 60 Hz apart, and a mode stored on one
// platform means the same on another. Every backend that computes a rate goes through here.
namespace RefreshRate {
int wholeHz(double hz);
// From a mode's timing: dot clock in Hz over the pixels of one frame.
int wholeHz(double dotClock, double htotal, double vtotal);
}
