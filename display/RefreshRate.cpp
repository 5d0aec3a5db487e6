#include "RefreshRate.h"

#include <algorithm>
#include <cmath>

namespace RefreshRate {

namespace {

// `tolerance` in Hz: how far off its nominal value a measured rate may be.
int wholeHz(double hz, double tolerance)
{
    if (!(hz > 0) || !std::isfinite(hz))
        return 0;
    const double n = std::round(hz * 1001.0 / 1000.0);
    const double ntsc = n * 1000.0 / 1001.0;
    const bool whole = std::fabs(hz - std::round(hz)) <= tolerance;
    if (!whole && std::fabs(hz - ntsc) <= tolerance)
        return int(std::floor(hz));
    return int(std::lround(hz));
}

} // namespace

int wholeHz(double hz)
{
    // 0.008 %: wide enough for a rate given in whole mHz from a dot clock in 10 kHz steps
    // (23.976 Hz comes out as 23.977, 29.97 as 29.972), tight enough that the common CVT rates
    // (1600x900 at 59.946 Hz, 0.0099 % off 59.940) stay rounded.
    return wholeHz(hz, hz * 8e-5);
}

int wholeHz(double dotClock, double htotal, double vtotal)
{
    if (htotal <= 0 || vtotal <= 0 || !(dotClock > 0))
        return 0;
    // A clock given in 10 kHz steps may be off by half a step (74.18 MHz for 74.1758): the rate
    // may be off by as much, and by at least 0.003 %.
    const double hz = dotClock / (htotal * vtotal);
    return wholeHz(hz, std::max(hz * 3e-5, 5000.0 / (htotal * vtotal)));
}

} // namespace RefreshRate
