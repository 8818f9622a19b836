#pragma once

#include "data/thermalvoltage.h"

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
    // With a gate too, at gateVolts against the same return as `volts`. A device with two
    // terminals has no gate and draws what current(volts) says.
    virtual double gatedCurrent(double volts, double gateVolts) const
    {
        (void)gateVolts;
        return current(volts);
    }
};

struct DiodeParameters {
    double saturationAmps = 1e-12;
    double ideality = 1.8;
    double seriesOhms = 4700.0;
    double thermalVolts = kestrel::thermalVoltsAtCelsius(roomCelsius);
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

struct SolarCellParameters {
    double photoAmps = 0.76;
    double saturationAmps = 3e-7;
    double ideality = 1.5;
    double seriesOhms = 0.036;
    double shuntOhms = 54.0;
    double thermalVolts = kestrel::thermalVoltsAtCelsius(roomCelsius);
};

// An illuminated solar cell, the single-diode model in its photovoltaic convention:
//   Ipv = Iph - I0 * (exp((V + Ipv*Rs) / (n*Vt)) - 1) - (V + Ipv*Rs) / Rsh
// The meter sees the current the source drives into it, -Ipv: negative between 0 V
// and Voc, where the cell generates.
class SolarCell : public Device
{
  public:
    explicit SolarCell(const SolarCellParameters& parameters = {}) : p_(parameters) {}
    double current(double volts) const override;
    const SolarCellParameters& parameters() const { return p_; }

  private:
    SolarCellParameters p_;
};

class Resistor : public Device
{
  public:
    explicit Resistor(double ohms) : ohms_(ohms) {}
    double current(double volts) const override { return volts / ohms_; }

  private:
    double ohms_;
};

struct MosfetParameters {
    double thresholdVolts = 1.0;
    double kAmpsPerVoltSquared = 2e-3;
    double lambdaPerVolt = 0.02; // channel-length modulation
};

// An n-channel MOSFET, drain at the source's level, gate at the step source's, in the
// square-law model with channel-length modulation (Vov = Vgs - Vth):
//   Vov <= 0:        I = 0
//   0 <= Vds < Vov:  I = K * (Vov*Vds - Vds^2/2) * (1 + lambda*Vds)   (triode)
//   Vds >= Vov:      I = K/2 * Vov^2 * (1 + lambda*Vds)               (saturation)
// Below 0 V the drain is the lower terminal and acts as the source, as in a symmetric
// device: I(Vgs, Vds) = -I(Vgs - Vds, -Vds). Without a gate level the gate is at 0 V.
class Mosfet : public Device
{
  public:
    explicit Mosfet(const MosfetParameters& parameters = {}) : p_(parameters) {}
    double current(double volts) const override { return gatedCurrent(volts, 0.0); }
    double gatedCurrent(double volts, double gateVolts) const override;
    const MosfetParameters& parameters() const { return p_; }

  private:
    double channelCurrent(double gateVolts, double drainVolts) const;

    MosfetParameters p_;
};

// "diode", "resistor:OHMS" (OHMS a positive number), "solar" or "solar:IPH,RS,RSH"
// (photocurrent in A, at least 0; series and shunt resistances in Ohm, above 0), "mosfet"
// or "mosfet:VTH,K,LAMBDA" (threshold in V; K in A/V^2, above 0; lambda in 1/V, at least
// 0). Null, with the reason in *error, for any other text. Diodes and cells are at
// `celsius`.
std::shared_ptr<const Device> makeDevice(const QString& text, QString* error,
                                         double celsius = roomCelsius);

} // namespace kestrel::sim
