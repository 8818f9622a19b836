#include "link/instrumentlink.h"

#include "link/commandline.h"

namespace kestrel
{

ScriptLink::ScriptLink(QString pat, int timeoutMs) : pat_(std::move(pat)), timeoutMs_(timeoutMs) {}

LinkReply ScriptLink::exchange(const Endpoint& to, const QString& command,
                               const CancelSignal& cancel)
{
    ShellResult result = runShell(instrumentCommandLine(pat_, to.address, to.port, command),
                                  ShellOptions{timeoutMs_, &cancel});
    return LinkReply{std::move(result.output), result.ok, std::move(result.reason)};
}

LinkReply ScriptLink::exchangeSlow(const Endpoint& to, const QString& command,
                                   const CancelSignal& cancel, int replyMs)
{
    ShellResult result = runShell(instrumentCommandLine(pat_, to.address, to.port, command),
                                  ShellOptions{timeoutMs_ + replyMs, &cancel, replyMs});
    return LinkReply{std::move(result.output), result.ok, std::move(result.reason)};
}

} // namespace kestrel
