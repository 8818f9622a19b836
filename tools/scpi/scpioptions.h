#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::scpi
{

struct Options {
    std::string address;
    std::string port;
    std::string command;
    double connectSeconds = 3.0;
    double replySeconds = 5.0;
};

enum class Action { Run, Help, Version, UsageError };

struct Arguments {
    Action action = Action::Run;
    Options options;
    bool replySecondsGiven = false; // --timeout was given
    std::string error;              // what is wrong, for UsageError
};

// Reads the command line (without the program name). Options may come before or
// between the three operands; "--" ends them so a COMMAND may start with '-'.
Arguments parseArguments(const std::vector<std::string_view>& args);

std::string helpText();

// The seconds in KESTREL_REPLY_TIMEOUT, a whole number from 1 to maxSlowReplySeconds;
// 0 for anything else.
double slowReplySeconds(const char* text);
inline constexpr double maxSlowReplySeconds = 600.0;

// Seconds as written in messages: "3", "0.5".
std::string secondsText(double seconds);

// Both limits stay below the 10 s after which Kestrel's shell runner gives up,
// so the runner always sees this tool's own error line.
inline constexpr double maxLimitSeconds = 10.0;

} // namespace kestrel::scpi
