#pragma once

// One display mode: the four values the program names a mode by. Kept free of Qt so that the
// platform layers (the Win32 one is built and tested without Qt) can share it.
struct DisplayMode
{
    int PelsWidth = 0;
    int PelsHeight = 0;
    int BitsPerPel = 0;
    int DisplayFrequency = 0;

    friend bool operator==(const DisplayMode &a, const DisplayMode &b)
    {
        return a.PelsWidth == b.PelsWidth && a.PelsHeight == b.PelsHeight
            && a.BitsPerPel == b.BitsPerPel && a.DisplayFrequency == b.DisplayFrequency;
    }
    friend bool operator!=(const DisplayMode &a, const DisplayMode &b) { return !(a == b); }
};
