#pragma once

#include <QByteArray>
#include <QString>

namespace kestrel
{

// A command whose output has not ended by then is killed with its whole process group.
inline constexpr int shellTimeoutMs = 10000;

// Lets another thread end a command that runShell is waiting for.
class CancelSignal
{
  public:
    CancelSignal();
    ~CancelSignal();
    CancelSignal(const CancelSignal&) = delete;
    CancelSignal& operator=(const CancelSignal&) = delete;

    void cancel();
    void reset();
    int fd() const { return fd_; }

  private:
    int fd_;
};

struct ShellOptions {
    int timeoutMs = shellTimeoutMs;
    const CancelSignal* cancel = nullptr;
};

// Runs one line with `/usr/bin/env zsh -c LINE` and returns everything the started
// processes wrote to standard output and standard error, in the order written, up to
// end of file (background children included). Standard input is /dev/null. Blocks the
// calling thread; never hangs past the time limit; every failure comes back as text.
QString runShell(const QString& line, const ShellOptions& options = {});

// ASCII text; any byte outside ASCII becomes U+FFFD.
QString decodeReply(const QByteArray& bytes);

} // namespace kestrel
