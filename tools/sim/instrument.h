#pragma once

#include "sim/errorqueue.h"
#include "sim/scpiheader.h"

#include <QByteArray>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace kestrel::sim
{

// What one command line produced.
struct Response {
    std::optional<QByteArray> reply; // without the line feed
    bool measurement = false;        // a reading, delayed by the simulated integration time
    int integrationMs = 0;           // how long the reading integrated, on top of any latency
};

// An instrument's command set and error queue. Knows the common commands
// (*IDN?, *RST, *CLS, *OPC?) and :SYSTem:ERRor?; subclasses add their own.
class Instrument
{
  public:
    explicit Instrument(QByteArray identity);
    virtual ~Instrument() = default;
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    // Runs every unit of one line; query replies are joined with ';'.
    Response execute(QByteArrayView line);
    // Puts `serial` in the *IDN? reply's third field, the maker's serial number, so that a
    // program can tell two instruments of one model apart.
    void setSerialNumber(const QByteArray& serial);

  protected:
    // A handler returns the reply of a query; commands return nothing.
    using Handler = std::function<std::optional<QByteArray>(const ScpiUnit&)>;
    void addCommand(const char* pattern, Handler handler);
    void addQuery(const char* pattern, Handler handler, bool measurement = false);
    void pushError(int code) { errors_.push(code); }
    // How :SYSTem:ERRor? words an entry (0 for "no error"); SCPI's "-113,\"Undefined header\""
    // unless a dialect says otherwise.
    void setErrorFormat(std::function<QByteArray(int code)> format)
    {
        errorFormat_ = std::move(format);
    }
    // A measurement query's handler says how long its reading integrated.
    void setIntegrationMs(int ms) { integrationMs_ = ms; }
    // False, with -109 or -108 queued, unless the unit has exactly `count` parameters.
    bool hasParameters(const ScpiUnit& unit, qsizetype count);

    virtual void reset() = 0;

  private:
    struct Command {
        HeaderPattern pattern;
        bool query;
        bool measurement;
        Handler handler;
    };
    QByteArray identity_;
    std::vector<Command> commands_;
    ErrorQueue errors_;
    std::function<QByteArray(int)> errorFormat_;
    int integrationMs_ = 0;
};

} // namespace kestrel::sim
