#include "scpi/replyline.h"

namespace kestrel::scpi
{

bool ReplyLine::add(std::string_view piece)
{
    const std::size_t searchFrom = received_.size();
    received_.append(piece);
    if (end_ == std::string::npos)
        end_ = received_.find('\n', searchFrom);
    // With the line feed still to come, the line is at least one byte longer.
    return (complete() ? end_ : received_.size()) + 1 <= maxReplyBytes;
}

std::string ReplyLine::line() const
{
    std::string line = received_.substr(0, end_);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace kestrel::scpi
