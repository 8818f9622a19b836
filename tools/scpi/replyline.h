#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel::scpi
{

// Kestrel's shell runner takes at most 1 MiB of a script's output; a reply line is
// counted with its line feed, so whatever this tool prints fits.
inline constexpr std::size_t maxReplyBytes = 1024 * 1024;
inline constexpr const char* replyTooLong = "reply line longer than 1 MiB";

// A reply's first line, gathered from however many pieces it arrives in, on any
// transport.
class ReplyLine
{
  public:
    // False once the line, with its line feed still to come, is longer than
    // maxReplyBytes.
    bool add(std::string_view piece);
    bool complete() const { return end_ != std::string::npos; }
    // Up to the line feed, a carriage return before it dropped; everything received when
    // the message ended without one.
    std::string line() const;
    const std::string& received() const { return received_; }

  private:
    std::string received_;
    std::size_t end_ = std::string::npos;
};

} // namespace kestrel::scpi
