#pragma once

#include <optional>
#include <string>

namespace kestrel::scpi
{

// How a command reaches its instrument; the address and port operands choose it.
enum class Transport { Socket, Vxi11, Usbtmc, Serial };

struct SerialFraming {
    unsigned baud = 9600;
    int dataBits = 8;
    char parity = 'N'; // 'N', 'E' or 'O'
    int stopBits = 1;
};

struct Target {
    Transport transport = Transport::Socket;
    std::string host;   // Socket and Vxi11: an IPv4 address or a host name
    unsigned port = 0;  // Socket
    std::string device; // Vxi11: the device name ("inst0", "gpib0,5"); Usbtmc, Serial: the path
    SerialFraming framing;
};

// Reads ADDRESS and PORT:
//   host, 1..65535                       raw socket
//   host, "vxi11" or a device name       VXI-11 ("vxi11" is inst0)
//   /dev/usbtmcN, "usbtmc" or "-"        USBTMC
//   /dev/tty..., /dev/serial/... or /dev/pts/N, baud[,framing]   serial ("9600", "115200,8N1")
// On a form that fits none, *error says why, with the forms listed.
std::optional<Target> parseTarget(const std::string& address, const std::string& port,
                                  std::string* error);

// The forms, as one sentence for messages and --help.
extern const char* const targetForms;

} // namespace kestrel::scpi
