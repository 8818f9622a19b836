// kestrel-scpi: one SCPI command to a LAN instrument, its reply on standard output.

#include "scpi/printablebytes.h"
#include "scpi/scpiexchange.h"
#include "scpi/scpioptions.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace
{

bool writeAll(int fd, const std::string& text)
{
    std::string_view left = text;
    while (!left.empty()) {
        const ssize_t n = write(fd, left.data(), left.size());
        if (n > 0)
            left.remove_prefix(std::size_t(n));
        else if (n < 0 && errno != EINTR)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace kestrel::scpi;

    const Arguments args = parseArguments(std::vector<std::string_view>(argv + 1, argv + argc));
    switch (args.action) {
    case Action::Help:
        return writeAll(STDOUT_FILENO, helpText()) ? 0 : 1;
    case Action::Version:
        return writeAll(STDOUT_FILENO, std::string("kestrel-scpi ") + KESTREL_VERSION + "\n") ? 0
                                                                                              : 1;
    case Action::UsageError:
        writeAll(STDERR_FILENO,
                 "kestrel-scpi: " + printableBytes(args.error) + " (see kestrel-scpi --help)\n");
        return 2;
    case Action::Run:
        break;
    }

    Options options = args.options;
    // Kestrel asks for a longer wait when a reading integrates for long; an explicit
    // --timeout still holds.
    if (!args.replySecondsGiven)
        if (const char* slow = std::getenv("KESTREL_REPLY_TIMEOUT"))
            options.replySeconds = std::max(options.replySeconds, slowReplySeconds(slow));
    const Exchange result = exchange(options);
    // Messages quote the address, the port and at times what came back: printable on a
    // terminal.
    if (!result.ok()) {
        writeAll(STDERR_FILENO, "kestrel-scpi: " + printableBytes(options.address) + ':' +
                                    printableBytes(options.port) + ": " +
                                    printableBytes(result.failure) + '\n');
        return 1;
    }
    // The reply goes to a program (Kestrel's shell runner) as it came; on a terminal its
    // control characters are escaped, so neither an instrument nor line noise at a wrong
    // baud rate can rewrite the screen.
    const std::string reply = isatty(STDOUT_FILENO) ? printableBytes(result.reply) : result.reply;
    if (isQuery(options.command) && !writeAll(STDOUT_FILENO, reply + '\n'))
        return 1;
    return 0;
}
