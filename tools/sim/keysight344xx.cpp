// Keysight Truevolt 34460A/61A/65A/70A DMM measuring DC current on its 3 A terminals, after
// the "Agilent Truevolt Series DMM Operating and Service Guide" (34460A/34461A): the
// CONFigure, MEASure, READ and SENSe:CURRent commands. Readings and the overload mark are
// "+1.04530000E+00" and "+9.90000000E+37"; a range reads to 120 % of its full scale.
#include "sim/dialectinstrument.h"
#include "sim/dialects.h"

#include <algorithm>
#include <cmath>

namespace kestrel::sim
{

namespace
{

class Keysight344xx : public DialectInstrument
{
  public:
    Keysight344xx(const Circuit& circuit, const DialectSettings& settings)
        : DialectInstrument(
              "Keysight Technologies,34461A,MY00000001,A.03.01-02.40-03.01-00.52-04-02"),
          circuit_(circuit),
          measurement_({100e-6, 1e-3, 10e-3, 100e-3, 1.0, 3.0}, 1.2, 10.0, settings.meter)
    {
        setErrorFormat(keysightErrorEntry);
        addCommand("CONFigure:CURRent[:DC]",
                   [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
                       if (configure(unit))
                           measurement_.nplc = 10.0;
                       return std::nullopt;
                   });
        addCommand("[SENSe]:CURRent[:DC]:RANGe[:UPPer]",
                   [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
                       if (hasParameters(unit, 1))
                           setRange(unit.params[0]);
                       return std::nullopt;
                   });
        addCommand("[SENSe]:CURRent[:DC]:RANGe:AUTO",
                   [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
                       if (!hasParameters(unit, 1))
                           return std::nullopt;
                       if (unit.params[0].toUpper() == "ONCE")
                           measurement_.selectRange(std::abs(circuit_.current()));
                       else if (const std::optional<bool> on = switchSetting(unit, 0))
                           measurement_.setAutoRange(*on);
                       return std::nullopt;
                   });
        addCommand("[SENSe]:CURRent[:DC]:NPLCycles",
                   [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
                       if (!hasParameters(unit, 1))
                           return std::nullopt;
                       const std::optional<double> nplc = numberSetting(unit, 0, 0.02, 100, 10);
                       if (nplc && std::ranges::find(validNplc, *nplc) == std::end(validNplc))
                           pushError(scpiError::dataOutOfRange);
                       else if (nplc)
                           measurement_.nplc = *nplc;
                       return std::nullopt;
                   });
        addQuery(
            "READ",
            [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
                if (!hasParameters(unit, 0))
                    return std::nullopt;
                return reading();
            },
            true);
        addQuery(
            "MEASure:CURRent[:DC]",
            [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
                if (!configure(unit))
                    return std::nullopt;
                measurement_.nplc = 10.0;
                return reading();
            },
            true);
        reset();
    }

  protected:
    void reset() override { measurement_.reset(); }

  private:
    static constexpr double validNplc[] = {0.02, 0.2, 1, 10, 100};

    // CONFigure and MEASure? take [range|AUTO|MIN|MAX|DEF[,resolution]]; the resolution is
    // not simulated and only checked for being there.
    bool configure(const ScpiUnit& unit)
    {
        if (unit.params.size() > 2) {
            pushError(scpiError::parameterNotAllowed);
            return false;
        }
        if (unit.params.isEmpty() || unit.params[0].toUpper() == "AUTO") {
            measurement_.setAutoRange(true);
            return true;
        }
        return setRange(unit.params[0]);
    }

    bool setRange(const QByteArray& text)
    {
        const QByteArray word = text.toUpper();
        if (word == "DEF" || word == "DEFAULT") {
            measurement_.setAutoRange(true);
            return true;
        }
        const std::optional<double> amps =
            word == "MIN" || word == "MINIMUM"   ? std::optional<double>(100e-6)
            : word == "MAX" || word == "MAXIMUM" ? std::optional<double>(3.0)
                                                 : numberParameter(text);
        if (!amps) {
            pushError(scpiError::dataType);
            return false;
        }
        if (!std::isfinite(*amps) || !measurement_.selectRange(*amps)) {
            pushError(scpiError::dataOutOfRange);
            return false;
        }
        return true;
    }

    QByteArray reading()
    {
        setIntegrationMs(measurement_.integrationMs());
        return formatSigned(measurement_.read(circuit_.current()).value_or(9.9e37), 8);
    }

    const Circuit& circuit_;
    CurrentMeasurement measurement_;
};

} // namespace

std::unique_ptr<Instrument> makeKeysight344xx(const Circuit& circuit,
                                              const DialectSettings& settings)
{
    return std::make_unique<Keysight344xx>(circuit, settings);
}

} // namespace kestrel::sim
