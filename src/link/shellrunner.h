#pragma once

#include <QByteArray>
#include <QString>

namespace kestrel
{

// A command whose output or shell has not ended by then is killed with its whole
// process group.
inline constexpr int shellTimeoutMs = 10000;
// A command that writes more than this is killed: no instrument reply is that long.
inline constexpr qsizetype maxShellOutputBytes = 1024 * 1024;

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
    bool isCancelled() const;
    // Waits up to ms milliseconds, returning early (true) once cancelled.
    bool waitFor(int ms) const;
    int fd() const { return fd_; }

  private:
    int fd_;
};

struct ShellOptions {
    int timeoutMs = shellTimeoutMs;
    const CancelSignal* cancel = nullptr;
    // Above 0: the command's environment holds replyTimeoutVariable, that many seconds,
    // so kestrel-scpi waits as long for a slow reading.
    int replyMs = 0;
};

inline constexpr char replyTimeoutVariable[] = "KESTREL_REPLY_TIMEOUT";

// What one command line did.
struct ShellResult {
    QString output;  // everything the started processes wrote, up to the cap
    bool ok = false; // the shell exited with status 0 and nothing went wrong
    QString reason;  // why not, when !ok: "exit status 1", "timed out after 10 s", ...
};

// Told of every command process runShell starts and reaps, on the thread that runs it:
// a guard must end whatever its program left running before it switches a source off.
class CommandWatch
{
  public:
    virtual ~CommandWatch() = default;
    // The process group of a command that has started, then once it has been reaped.
    virtual void commandStarted(int group) = 0;
    virtual void commandEnded(int group) = 0;
};
// A watch added hears of the commands running now at once. Both take the lock that
// every start and end takes, so a watch removed is never called again.
void addCommandWatch(CommandWatch* watch);
void removeCommandWatch(CommandWatch* watch);
// Every command's environment holds this name with this program's process id, so
// that its processes can be found once this program has gone, whatever group they
// moved to.
inline constexpr char commandOwnerVariable[] = "KESTREL_COMMAND_OF";

// Runs one line with `/usr/bin/env zsh -c LINE` and collects everything the started
// processes write to standard output and standard error, in the order written, up to
// end of file (background children included), then the shell's exit status. Standard
// input is /dev/null; the environment is this program's, with commandOwnerVariable. Blocks the
// calling thread; never hangs past the time limit and never holds more than maxShellOutputBytes.
ShellResult runShell(const QString& line, const ShellOptions& options = {});

// UTF-8 text, each byte of an invalid sequence one U+FFFD. Control characters stay as
// they came: whatever shows the text escapes them (printableText).
QString decodeReply(const QByteArray& bytes);

} // namespace kestrel
