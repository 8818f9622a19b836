#pragma once

#include "data/endpoint.h"

#include <QString>

#include <memory>

namespace kestrel
{

// What a guard needs to reach the source the way the sweep does, and to say what it did.
struct GuardConfig {
    QString program;   // kestrel-guard; empty: no guard
    QString home;      // the folder holding sendArbcmd.sh
    QString storePath; // where the guard records what it did; empty: nowhere
};

// A kestrel-guard process watching one source for this program. It runs in a session
// of its own (a closing terminal does not end it), reads this program's word through a
// pipe, and, when the pipe closes while the output may be on (this program ended or
// was killed), switches the source off through the same script and records that in
// the store. Told to stand down, it ends without sending anything.
class Guard
{
  public:
    // A guard for that source, or null with the reason in *error.
    static std::unique_ptr<Guard> start(const GuardConfig& config, const Endpoint& source,
                                        QString* error);
    // Closes the pipe: a guard still armed then switches the source off.
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    const Endpoint& source() const { return source_; }
    // The output may be on from now on: the first set-up command is about to go out.
    void arm();
    // The output is confirmed off: the guard ends without acting.
    void standDown();

  private:
    Guard(int pipe, Endpoint source) : pipe_(pipe), source_(std::move(source)) {}
    void say(const char* word);

    int pipe_;
    const Endpoint source_;
};

// kestrel-guard beside this program, installed in libexec/kestrel, or the one of the
// build tree; empty when there is none.
QString findGuardProgram();

} // namespace kestrel
