#include "scpi/scpioptions.h"

#include <charconv>
#include <cmath>

namespace kestrel::scpi
{

namespace
{

bool readSeconds(std::string_view text, double& seconds)
{
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return false;
    if (value <= 0 || value >= maxLimitSeconds)
        return false;
    seconds = value;
    return true;
}

} // namespace

double slowReplySeconds(const char* text)
{
    const std::string_view view(text);
    int value = 0;
    const auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (ec != std::errc() || end != view.data() + view.size() || value < 1 ||
        value > maxSlowReplySeconds)
        return 0;
    return value;
}

std::string secondsText(double seconds)
{
    char text[32];
    const auto res = std::to_chars(text, text + sizeof text, seconds);
    return std::string(text, res.ptr);
}

Arguments parseArguments(const std::vector<std::string_view>& args)
{
    Arguments parsed;
    const auto fail = [&parsed](std::string message) {
        parsed.action = Action::UsageError;
        parsed.error = std::move(message);
        return parsed;
    };

    std::vector<std::string_view> operands;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg.front() != '-') {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.action = Action::Help;
            return parsed;
        }
        if (arg == "--version") {
            parsed.action = Action::Version;
            return parsed;
        }

        // --name VALUE or --name=VALUE
        std::string_view name = arg;
        std::string_view value;
        bool hasValue = false;
        if (const auto eq = arg.find('='); eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        double* target = nullptr;
        if (name == "--connect-timeout")
            target = &parsed.options.connectSeconds;
        else if (name == "--timeout")
            target = &parsed.options.replySeconds, parsed.replySecondsGiven = true;
        else
            return fail("unknown option " + std::string(arg));
        if (!hasValue) {
            if (i + 1 == args.size())
                return fail(std::string(name) + " needs a number of seconds");
            value = args[++i];
        }
        if (!readSeconds(value, *target))
            return fail(std::string(name) + " " + std::string(value) +
                        ": seconds must be a number above 0 and below " +
                        secondsText(maxLimitSeconds));
    }

    if (operands.size() != 3) {
        char count[24];
        const auto res = std::to_chars(count, count + sizeof count, operands.size());
        return fail("expected ADDRESS PORT COMMAND, got " + std::string(count, res.ptr) +
                    (operands.size() == 1 ? " argument" : " arguments"));
    }
    parsed.options.address = operands[0];
    parsed.options.port = operands[1];
    parsed.options.command = operands[2];
    return parsed;
}

std::string helpText()
{
    return "Usage: kestrel-scpi [OPTIONS] [--] ADDRESS PORT COMMAND\n"
           "\n"
           "Sends one SCPI command to an instrument, followed by a line feed. When\n"
           "COMMAND is a query (contains '?') it reads the one-line reply and prints\n"
           "it on standard output, ending in a single line feed.\n"
           "\n"
           "ADDRESS and PORT choose how the command travels:\n"
           "  ADDRESS                        PORT                   transport\n"
           "  IPv4 address or host name      a number: 5025         raw TCP socket\n"
           "  IPv4 address or host name      vxi11, inst0, gpib0,5  VXI-11 (vxi11: inst0)\n"
           "  /dev/usbtmcN                   usbtmc or -            USBTMC\n"
           "  /dev/tty..., /dev/serial/...,\n"
           "  /dev/pts/N                     9600 or 115200,8N1     serial\n"
           "Serial framing is data bits 5-8, parity N, E or O, stop bits 1 or 2\n"
           "(default 8N1); lines end in a line feed, a carriage return before it is\n"
           "dropped. A serial port or USBTMC device is locked for one exchange: a\n"
           "second command waits for it within the connect limit. On a raw socket,\n"
           "a port that answers like a telnet console (telnet negotiation, or a\n"
           "query's first line echoing COMMAND) is an error: use the raw socket port.\n"
           "\n"
           "Options:\n"
           "  --connect-timeout S  give up when no connection is made within S seconds\n"
           "                       (default 3)\n"
           "  --timeout S          give up when the reply has not ended S seconds after\n"
           "                       sending (default 5)\n"
           "  --help               show this help and exit\n"
           "  --version            show the version and exit\n"
           "  --                   end of options: COMMAND may then start with '-'\n"
           "Each limit must be above 0 and below 10 seconds.\n"
           "Without --timeout, KESTREL_REPLY_TIMEOUT (whole seconds, 1 to 600) in the\n"
           "environment raises the reply limit: Kestrel sets it for a reading that\n"
           "integrates for long.\n"
           "\n"
           "Example:\n"
           "  kestrel-scpi 127.0.0.2 5555 '*IDN?'\n"
           "  kestrel-scpi 192.168.1.30 gpib0,5 '*IDN?'\n"
           "  kestrel-scpi /dev/ttyUSB0 9600 '*IDN?'\n"
           "\n"
           "Exit status:\n"
           "  0  the command was delivered (and the reply printed)\n"
           "  1  no connection, no reply, a broken reply, a telnet console or an\n"
           "     ADDRESS and PORT of no form above; one line on standard error says why:\n"
           "     kestrel-scpi: ADDRESS:PORT: REASON\n"
           "  2  the command line is wrong\n";
}

} // namespace kestrel::scpi
