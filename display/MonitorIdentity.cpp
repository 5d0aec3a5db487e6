#include "MonitorIdentity.h"

#include <cstdio>

namespace {

// A descriptor text: up to 13 bytes, ended by a line feed, padded with blanks.
std::string descriptorText(const uint8_t *text)
{
    std::string s;
    for (int i = 0; i < 13 && text[i] != 0x0a && text[i] != 0; ++i)
        s += (text[i] >= 0x20 && text[i] < 0x7f) ? char(text[i]) : '?';
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// Serials that makers put on every unit alike (Mutter passes on "0x00000000"): they tell twins
// of one model apart no better than none.
bool placeholderSerial(const std::string &serial)
{
    std::string digits = serial;
    if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0)
        digits = digits.substr(2);
    if (digits.empty())
        return true;
    const bool zeros = digits.find_first_not_of('0') == std::string::npos;
    return zeros || digits == "01010101" || digits == "16843009";
}

std::string hex(unsigned value, int digits)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*X", digits, value);
    return buffer;
}

} // namespace

bool MonitorIdentity::fromEdid(const uint8_t *edid, size_t size, DisplayOutput &output)
{
    static const uint8_t header[8] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
    if (!edid || size < 128)
        return false;
    for (int i = 0; i < 8; ++i) {
        if (edid[i] != header[i])
            return false;
    }
    // Three letters of five bits each, 'A' being 1.
    const unsigned packed = unsigned(edid[8]) << 8 | edid[9];
    std::string maker;
    for (int shift : {10, 5, 0}) {
        const unsigned letter = (packed >> shift) & 0x1f;
        maker += (letter >= 1 && letter <= 26) ? char('A' + letter - 1) : '?';
    }
    const unsigned product = unsigned(edid[10]) | unsigned(edid[11]) << 8;
    const unsigned number = unsigned(edid[12]) | unsigned(edid[13]) << 8 | unsigned(edid[14]) << 16
        | unsigned(edid[15]) << 24;
    std::string serial, name;
    for (size_t at = 54; at + 18 <= 126; at += 18) {
        const uint8_t *d = edid + at;
        if (d[0] != 0 || d[1] != 0)
            continue; // a detailed timing
        if (d[3] == 0xff)
            serial = descriptorText(d + 5);
        else if (d[3] == 0xfc)
            name = descriptorText(d + 5);
    }
    // The text serial is what makers fill in; the number is often 0 or the same on every unit.
    if (placeholderSerial(serial))
        serial.clear();
    if (serial.empty() && number != 0 && number != 0x01010101)
        serial = hex(number, 8);
    output.identity = maker + "-" + hex(product, 4) + (serial.empty() ? std::string() : "-" + serial);
    output.hasSerial = !serial.empty();
    output.label = name.empty() ? maker + " " + hex(product, 4) : maker + " " + name;
    return true;
}

namespace {
// What a compositor says is input: control characters would reach terminals and logs.
std::string printable(const std::string &text)
{
    std::string s;
    for (const char c : text)
        s += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    return s;
}
} // namespace

void MonitorIdentity::fromNames(const std::string &rawMake, const std::string &rawModel, const std::string &rawSerial,
                                DisplayOutput &output)
{
    const std::string make = printable(rawMake), model = printable(rawModel);
    const std::string serial = placeholderSerial(rawSerial) ? std::string() : printable(rawSerial);
    if (make.empty() && model.empty())
        return;
    output.identity = make + "-" + model + (serial.empty() ? std::string() : "-" + serial);
    output.hasSerial = !serial.empty();
    output.label = make.empty() ? model : model.empty() ? make : make + " " + model;
}

const DisplayOutput *MonitorIdentity::find(const std::vector<DisplayOutput> &outputs, const std::string &identity,
                                           const std::string &connector)
{
    const DisplayOutput *onConnector = nullptr;
    const DisplayOutput *only = nullptr;
    const DisplayOutput *there = nullptr; // whatever is on the connector
    int same = 0;
    for (const DisplayOutput &o : outputs) {
        if (o.name == connector)
            there = &o;
        if (o.identity != identity)
            continue;
        ++same;
        only = &o;
        if (o.name == connector)
            onConnector = &o;
    }
    // Known by its connector alone: what is there, also once its EDID or its compositor's
    // names arrive (they often come a moment after the output).
    if (identity.empty())
        return there;
    // Twins without serial numbers are told apart by their connectors only.
    const DisplayOutput *found = same == 1 ? only : onConnector;
    // Its identity gone for a moment (an EDID not read yet): still the one on its connector.
    if (!found && there && there->identity.empty())
        found = there;
    return found;
}
