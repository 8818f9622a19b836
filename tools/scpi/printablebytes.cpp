#include "scpi/printablebytes.h"

namespace kestrel::scpi
{

namespace
{

void appendEscape(std::string& out, unsigned code)
{
    static const char hex[] = "0123456789abcdef";
    out += "\\x";
    out += hex[(code >> 4) & 0xf];
    out += hex[code & 0xf];
}

// The length of the well-formed UTF-8 sequence at the start of bytes (RFC 3629: no
// overlong forms, no surrogates, nothing past U+10FFFF), 0 when there is none, and
// its code point.
std::size_t utf8Sequence(std::string_view bytes, unsigned& code)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned lead = byte(0);
    std::size_t length = 0;
    unsigned min = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        code = lead & 0x1f;
        min = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        code = lead & 0x0f;
        min = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        code = lead & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (bytes.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i) & 0x3f);
    }
    if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return length;
}

} // namespace

std::string printableBytes(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const auto lead = static_cast<unsigned char>(bytes.front());
        unsigned code = lead;
        std::size_t length = 1;
        if (lead >= 0x80)
            length = utf8Sequence(bytes, code);
        if (length == 0) {
            appendEscape(out, lead);
            length = 1;
        } else if (code < 0x20 || (code >= 0x7f && code <= 0x9f)) {
            appendEscape(out, code);
        } else {
            out.append(bytes.substr(0, length));
        }
        bytes.remove_prefix(length);
    }
    return out;
}

} // namespace kestrel::scpi
