#include "sim/dialects.h"

namespace kestrel::sim
{

namespace
{

struct Dialect {
    DialectRole role;
    const char* name;
    std::unique_ptr<Instrument> (*make)(Circuit&, const DialectSettings&);
};

const Dialect dialects[] = {
    {DialectRole::Source, "keysight-e36300", makeKeysightE36300},
    {DialectRole::Source, "siglent-spd", makeSiglentSpd},
    {DialectRole::Meter, "keysight-344xx",
     [](Circuit& c, const DialectSettings& s) { return makeKeysight344xx(c, s); }},
    {DialectRole::Meter, "keithley-dmm6500",
     [](Circuit& c, const DialectSettings& s) { return makeKeithleyDmm6500(c, s); }},
    {DialectRole::Smu, "keithley-2400", makeKeithley2400},
    {DialectRole::Smu, "keithley-2450", makeKeithley2450},
    {DialectRole::Smu, "keysight-b2900", makeKeysightB2900},
};

} // namespace

QStringList dialectNames(DialectRole role)
{
    QStringList names;
    if (role != DialectRole::Smu)
        names << QStringLiteral("default");
    for (const Dialect& dialect : dialects) {
        if (dialect.role == role)
            names << QLatin1String(dialect.name);
    }
    return names;
}

std::unique_ptr<Instrument> makeDialect(DialectRole role, const QString& name, Circuit& circuit,
                                        const DialectSettings& settings)
{
    for (const Dialect& dialect : dialects) {
        if (dialect.role == role && name == QLatin1String(dialect.name))
            return dialect.make(circuit, settings);
    }
    return nullptr;
}

} // namespace kestrel::sim
