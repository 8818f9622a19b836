#include "scpi/target.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <string_view>

namespace kestrel::scpi
{

const char* const targetForms =
    "ADDRESS PORT is one of: a host and a port number (raw socket: 192.168.1.20 5025); a host "
    "and vxi11 or a VXI-11 device name such as inst0 or gpib0,5 (VXI-11); /dev/usbtmcN and "
    "usbtmc or - (USBTMC); /dev/tty..., /dev/serial/... or /dev/pts/N and a baud rate, "
    "optionally with framing, such as 9600 or 115200,8N1 (serial)";

namespace
{

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool allDigits(std::string_view text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::optional<unsigned> number(std::string_view text)
{
    unsigned value = 0;
    if (!allDigits(text) || text.size() > 9)
        return std::nullopt;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// The rates Linux serial ports take by name.
bool isBaudRate(unsigned baud)
{
    static constexpr std::array rates{50u,      75u,      110u,     134u,     150u,     200u,
                                      300u,     600u,     1200u,    1800u,    2400u,    4800u,
                                      9600u,    19200u,   38400u,   57600u,   115200u,  230400u,
                                      460800u,  500000u,  576000u,  921600u,  1000000u, 1152000u,
                                      1500000u, 2000000u, 2500000u, 3000000u, 3500000u, 4000000u};
    return std::find(rates.begin(), rates.end(), baud) != rates.end();
}

// VXI-11 device names: inst0, gpib0,5, gpib0,5,2, hpib,7, usb0, com1, lan0 (any case).
bool isVxi11Device(std::string_view name)
{
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    std::string_view rest = lower;
    bool family = false;
    for (std::string_view prefix : {"inst", "gpib", "hpib", "usb", "com", "lan"})
        if (startsWith(rest, prefix)) {
            rest.remove_prefix(prefix.size());
            family = true;
            break;
        }
    if (!family)
        return false;
    while (!rest.empty() && std::isdigit(static_cast<unsigned char>(rest.front())))
        rest.remove_prefix(1);
    for (int part = 0; part < 2 && !rest.empty(); ++part) {
        if (rest.front() != ',')
            return false;
        rest.remove_prefix(1);
        const std::size_t digits = std::min(rest.find(','), rest.size());
        if (!allDigits(rest.substr(0, digits)))
            return false;
        rest.remove_prefix(digits);
    }
    return rest.empty();
}

std::optional<SerialFraming> readFraming(std::string_view text)
{
    SerialFraming framing;
    const std::size_t comma = text.find(',');
    const auto baud = number(text.substr(0, comma));
    if (!baud || !isBaudRate(*baud))
        return std::nullopt;
    framing.baud = *baud;
    if (comma == std::string_view::npos)
        return framing;
    const std::string_view bits = text.substr(comma + 1);
    if (bits.size() != 3 || bits[0] < '5' || bits[0] > '8' || (bits[2] != '1' && bits[2] != '2'))
        return std::nullopt;
    const char parity = char(std::toupper(static_cast<unsigned char>(bits[1])));
    if (parity != 'N' && parity != 'E' && parity != 'O')
        return std::nullopt;
    framing.dataBits = bits[0] - '0';
    framing.parity = parity;
    framing.stopBits = bits[2] - '0';
    return framing;
}

} // namespace

std::optional<Target> parseTarget(const std::string& address, const std::string& port,
                                  std::string* error)
{
    const auto fail = [&](const std::string& why) -> std::optional<Target> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    Target target;
    if (startsWith(address, "/dev/usbtmc")) {
        if (!allDigits(std::string_view(address).substr(11)) || (port != "usbtmc" && port != "-"))
            return fail(std::string("a USBTMC device is /dev/usbtmcN with the port usbtmc or -; ") +
                        targetForms);
        target.transport = Transport::Usbtmc;
        target.device = address;
        return target;
    }
    // A pseudo-terminal stands for a serial line, as kestrel-sim --serial offers one.
    if (startsWith(address, "/dev/tty") || startsWith(address, "/dev/serial/") ||
        startsWith(address, "/dev/pts/")) {
        const auto framing = readFraming(port);
        if (!framing)
            return fail("a serial port takes a baud rate (50 to 4000000, such as 9600), "
                        "optionally with framing: data bits 5 to 8, parity N, E or O, stop bits "
                        "1 or 2 (115200,8N1); " +
                        std::string(targetForms));
        target.transport = Transport::Serial;
        target.device = address;
        target.framing = *framing;
        return target;
    }
    if (address.empty() || address.front() == '/' || address.front() == '-')
        return fail(std::string("not an instrument address; ") + targetForms);
    target.host = address;
    if (allDigits(port)) {
        const auto value = number(port);
        if (!value || *value < 1 || *value > 65535)
            return fail("not a port number (1 to 65535)");
        target.transport = Transport::Socket;
        target.port = *value;
        return target;
    }
    if (port == "vxi11" || isVxi11Device(port)) {
        target.transport = Transport::Vxi11;
        target.device = port == "vxi11" ? std::string("inst0") : port;
        return target;
    }
    return fail(std::string("not a port number or a VXI-11 device name; ") + targetForms);
}

} // namespace kestrel::scpi
