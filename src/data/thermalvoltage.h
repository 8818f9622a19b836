#pragma once

namespace kestrel
{

// Boltzmann constant over the elementary charge, V/K.
inline constexpr double boltzmannOverCharge = 8.617333262e-5;
inline constexpr double zeroCelsiusKelvin = 273.15;
// The temperature a fit assumes unless told otherwise, and the simulator's devices'.
inline constexpr double roomCelsius = 25.0;

// kT/q, the thermal voltage at a temperature in kelvin.
constexpr double thermalVolts(double temperatureK)
{
    return boltzmannOverCharge * temperatureK;
}

constexpr double thermalVoltsAtCelsius(double celsius)
{
    return thermalVolts(celsius + zeroCelsiusKelvin);
}

} // namespace kestrel
