#pragma once

#include "DisplayBackend.h"

#include <cstddef>
#include <cstdint>
#include <string>

// How a monitor is told apart from every other: its maker, product code and serial number,
// whatever connector it is on. Written once for every platform, from the EDID where the
// platform hands that out, else from the names the compositor reports.
class MonitorIdentity
{
public:
    // Sets `output`'s identity, hasSerial and label from an EDID block; false, leaving them as
    // they were, when `edid` is not one (too short, a wrong header).
    static bool fromEdid(const uint8_t *edid, size_t size, DisplayOutput &output);
    // The same from what a compositor reports; empty parts are left out, and nothing is set
    // when make and model are both empty.
    static void fromNames(const std::string &make, const std::string &model, const std::string &serial,
                          DisplayOutput &output);

    // The output showing the monitor known by `identity` (empty: known by its connector alone,
    // then whatever is on that connector), last seen on `connector`: wherever it is now when it
    // is the only one with that identity, else the one of them on that connector, else an
    // output on that connector that tells no identity (yet). Null when it is not there: another
    // monitor on its connector is not it.
    static const DisplayOutput *find(const std::vector<DisplayOutput> &outputs, const std::string &identity,
                                     const std::string &connector);
};
