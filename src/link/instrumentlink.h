#pragma once

#include "data/endpoint.h"
#include "link/shellrunner.h"

#include <QString>

#include <functional>

namespace kestrel
{

// What came back for one command: the text, and whether the command got through.
struct LinkReply {
    QString text;
    bool ok = false;
    QString reason; // why not, when !ok: "exit status 1", "timed out after 10 s", ...
};

// Sends one command to one instrument and waits for what comes back. Called on the
// work queue's thread, one call at a time; blocking is its job.
class InstrumentLink
{
  public:
    virtual ~InstrumentLink() = default;
    virtual LinkReply exchange(const Endpoint& to, const QString& command,
                               const CancelSignal& cancel) = 0;
    // The same for a reading that takes up to replyMs (a long integration): the link
    // waits that long, and longer than for any other command.
    virtual LinkReply exchangeSlow(const Endpoint& to, const QString& command,
                                   const CancelSignal& cancel, int /*replyMs*/)
    {
        return exchange(to, command, cancel);
    }
};

// The real link: `~/sendArbcmd.sh ADDRESS PORT COMMAND` through zsh. A command got
// through when the script exited with status 0 within the time limit.
class ScriptLink final : public InstrumentLink
{
  public:
    explicit ScriptLink(QString pat, int timeoutMs = shellTimeoutMs);
    LinkReply exchange(const Endpoint& to, const QString& command,
                       const CancelSignal& cancel) override;
    // Tells sendArbcmd.sh the reply time in KESTREL_REPLY_TIMEOUT (kestrel-scpi waits
    // that long) and waits that long and the usual time more for the script.
    LinkReply exchangeSlow(const Endpoint& to, const QString& command, const CancelSignal& cancel,
                           int replyMs) override;
    const QString& pat() const { return pat_; }

  private:
    const QString pat_;
    const int timeoutMs_;
};

// A link that is just a function: in-process instruments for benchmarks and tests.
class FunctionLink final : public InstrumentLink
{
  public:
    using Function = std::function<LinkReply(const Endpoint& to, const QString& command)>;
    explicit FunctionLink(Function function) : function_(std::move(function)) {}
    LinkReply exchange(const Endpoint& to, const QString& command, const CancelSignal&) override
    {
        return function_(to, command);
    }

  private:
    Function function_;
};

} // namespace kestrel
