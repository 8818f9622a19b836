#include "sim/serialserver.h"

#include "sim/instrumentconnection.h"
#include "sim/instrumentserver.h"
#include "sim/pseudoterminal.h"

namespace kestrel::sim
{

SerialServer::SerialServer(InstrumentServer& server) : QObject(&server), server_(server) {}

bool SerialServer::open(QString* error)
{
    auto* terminal = new PseudoTerminal;
    if (!terminal->openPair(error)) {
        delete terminal;
        return false;
    }
    path_ = terminal->terminalPath();
    // The line lives as long as the server; it owns the terminal from here on.
    new InstrumentConnection(terminal, server_, "\r\n");
    return true;
}

} // namespace kestrel::sim
