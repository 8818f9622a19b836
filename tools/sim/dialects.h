#pragma once

#include "sim/circuit.h"
#include "sim/instrument.h"
#include "sim/meterinstrument.h"

#include <QStringList>

#include <memory>

namespace kestrel::sim
{

// Which instrument a dialect stands for: a source (a supply), a meter (a DMM), or an
// SMU that sources and measures at the source's address.
enum class DialectRole { Source, Meter, Smu };

struct DialectSettings {
    MeterSettings meter;    // noise and seed of whatever measures
    bool answerTsp = false; // the 2450 says its command set is TSP
    Circuit* output2 = nullptr; // a supply's second output, where it simulates one
};

// The names a role accepts; "default" (kestrel-sim's own instruments) for the source and
// the meter, built by the caller.
QStringList dialectNames(DialectRole role);

// Null for "default" or an unknown name.
std::unique_ptr<Instrument> makeDialect(DialectRole role, const QString& name, Circuit& circuit,
                                        const DialectSettings& settings);

// Each dialect's file.
std::unique_ptr<Instrument> makeKeithley2400(Circuit& circuit, const DialectSettings& settings);
std::unique_ptr<Instrument> makeKeithley2450(Circuit& circuit, const DialectSettings& settings);
std::unique_ptr<Instrument> makeKeysightB2900(Circuit& circuit, const DialectSettings& settings);
std::unique_ptr<Instrument> makeKeysightE36300(Circuit& circuit, const DialectSettings& settings);
std::unique_ptr<Instrument> makeSiglentSpd(Circuit& circuit, const DialectSettings& settings);
std::unique_ptr<Instrument> makeKeysight344xx(const Circuit& circuit,
                                              const DialectSettings& settings);
std::unique_ptr<Instrument> makeKeithleyDmm6500(const Circuit& circuit,
                                                const DialectSettings& settings);

} // namespace kestrel::sim
