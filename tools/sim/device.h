#pragma once

#include <QString>

#include <memory>

namespace kestrel::sim
{

// The device under test: the current it draws at a given source voltage.
class Device
{
  public:
    virtual ~Device() = default;
    virtual double current(double volts) const = 0;
};

struct DiodeParameters {
    double saturationAmps = 1e-12;
    double ideality = 1.8;
    double seriesOhms = 4700.0;
    double thermalVolts = 0.025852; // kT/q at 300 K
};

// A junction diode in series with a resistor:
//   I = Is * (exp((V - I*Rs) / (n*Vt)) - 1)
class Diode : public Device
{
  public:
    explicit Diode(const DiodeParameters& parameters = {}) : p_(parameters) {}
    double current(double volts) const override;
    const DiodeParameters& parameters() const { return p_; }

  private:
    DiodeParameters p_;
};

class Resistor : public Device
{
  public:
    explicit Resistor(double ohms) : ohms_(ohms) {}
    double current(double volts) const override { return volts / ohms_; }

  private:
    double ohms_;
};

// "diode" or "resistor:OHMS" (OHMS a positive number). Null, with the reason in
// *error, for any other text.
std::shared_ptr<const Device> makeDevice(const QString& text, QString* error);

} // namespace kestrel::sim
