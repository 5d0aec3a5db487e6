#include "RefreshRate.h"

#include <cmath>

namespace RefreshRate {

int wholeHz(double hz)
{
    if (!(hz > 0) || !std::isfinite(hz))
        return 0;
    // 0.01 %: well above a dot clock's rounding to kHz, well below the 0.1 % that separates
    // n·1000/1001 from n.
    const double n = std::round(hz * 1001.0 / 1000.0);
    const double ntsc = n * 1000.0 / 1001.0;
    const bool whole = std::fabs(hz - std::round(hz)) <= hz * 1e-4;
    if (!whole && std::fabs(hz - ntsc) <= hz * 1e-4)
        return int(std::floor(hz));
    return int(std::lround(hz));
}

int wholeHz(double dotClock, double htotal, double vtotal)
{
    if (htotal <= 0 || vtotal <= 0)
        return 0;
    return wholeHz(dotClock / (htotal * vtotal));
}

} // namespace RefreshRate
