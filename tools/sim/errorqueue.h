#pragma once

#include <QByteArray>

#include <deque>

namespace kestrel::sim
{

// SCPI error numbers the simulated instruments report.
namespace scpiError
{
inline constexpr int syntax = -102;
inline constexpr int dataType = -104;
inline constexpr int parameterNotAllowed = -108;
inline constexpr int missingParameter = -109;
inline constexpr int undefinedHeader = -113;
inline constexpr int settingsConflict = -221;
inline constexpr int dataOutOfRange = -222;
inline constexpr int illegalParameterValue = -224;
inline constexpr int queueOverflow = -350;
inline constexpr int outputNotOn = 803; // Keithley 2400: a reading asked for with the output off
} // namespace scpiError

// The instrument's error queue, read oldest first by :SYSTem:ERRor?. When full,
// the newest entry becomes -350 "Queue overflow" and further errors are lost.
class ErrorQueue
{
  public:
    static constexpr std::size_t capacity = 20;

    void push(int code);
    // "-113,\"Undefined header\"", or "0,\"No error\"" when empty.
    QByteArray pop();
    int popCode(); // 0 when empty
    void clear() { codes_.clear(); }

  private:
    std::deque<int> codes_;
};

QByteArray errorDescription(int code);

} // namespace kestrel::sim
