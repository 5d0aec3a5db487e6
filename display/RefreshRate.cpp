#include "RefreshRate.h"

#include <cmath>

namespace RefreshRate {

int wholeHz(double hz)
{
    if (!(hz > 0) || !std::isfinite(hz))
        return 0;
    // 0.003 %: well above the error of a dot clock given in kHz, and tight enough that the
    // common CVT rates (1600x900 at 59.946 Hz, 0.0099 % off 59.940) stay rounded.
    const double n = std::round(hz * 1001.0 / 1000.0);
    const double ntsc = n * 1000.0 / 1001.0;
    const bool whole = std::fabs(hz - std::round(hz)) <= hz * 3e-5;
    if (!whole && std::fabs(hz - ntsc) <= hz * 3e-5)
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
