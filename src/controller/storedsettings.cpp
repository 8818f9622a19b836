#include "controller/storedsettings.h"

#include "data/sweepplan.h"

namespace kestrel
{

namespace
{

// Settings files keep no types: a value written by another program may come back
// as a list, a string or something else entirely.
std::optional<QString> storedText(const QSettings& settings, const QString& key)
{
    const QVariant value = settings.value(key);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

} // namespace

Endpoint restoreEndpoint(const QSettings& settings, const char* key)
{
    const QVariant value = settings.value(QLatin1String(key));
    QStringList texts;
    if (value.typeId() == QMetaType::QStringList) {
        texts = value.toStringList();
    } else if (value.typeId() == QMetaType::QVariantList) {
        for (const QVariant& element : value.toList()) {
            if (element.typeId() != QMetaType::QString)
                return defaultEndpoint;
            texts << element.toString();
        }
    }
    if (texts.size() < 2)
        return defaultEndpoint;
    return Endpoint{texts[0], texts[1]};
}

void storeEndpoint(QSettings& settings, const char* key, const Endpoint& endpoint)
{
    settings.setValue(QLatin1String(key), QStringList{endpoint.address, endpoint.port});
}

StoredSweep restoreSweep(const QSettings& settings)
{
    StoredSweep sweep;
    if (auto text = storedText(settings, QStringLiteral("sweepstart")))
        sweep.start = *text;
    if (auto text = storedText(settings, QStringLiteral("sweepstop")))
        sweep.stop = *text;
    if (auto text = storedText(settings, QStringLiteral("sweepsteps")))
        sweep.steps = *text;
    if (auto text = storedText(settings, QStringLiteral("sweepshape"));
        text && shapeFromName(*text))
        sweep.shape = *text;
    if (auto text = storedText(settings, QStringLiteral("sweeplevels")))
        sweep.levels = *text;
    if (auto text = storedText(settings, QStringLiteral("sweepcycles")))
        sweep.cycles = *text;
    if (auto text = storedText(settings, QStringLiteral("readings")))
        sweep.readings = *text;
    if (auto text = storedText(settings, QStringLiteral("holdlevel")))
        sweep.holdLevel = *text;
    if (auto text = storedText(settings, QStringLiteral("holdduration")))
        sweep.duration = *text;
    // Which ranges there are is the meter profile's to say: the window checks the index.
    if (auto text = storedText(settings, QStringLiteral("sweeprange"))) {
        bool ok = false;
        const int index = text->toInt(&ok);
        if (ok && index >= autoRangeIndex)
            sweep.rangeIndex = index;
    }
    if (auto text = storedText(settings, QStringLiteral("sweeplimit")))
        sweep.limit = *text;
    // Only a settle time and a rate this program would run with come back.
    if (auto text = storedText(settings, QStringLiteral("sweepsettlems"));
        text && std::holds_alternative<int>(parseSettleMs(*text)))
        sweep.settleMs = *text;
    if (auto text = storedText(settings, QStringLiteral("meterrate")); text && rateFromName(*text))
        sweep.meterRate = *text;
    if (auto text = storedText(settings, QStringLiteral("compliance")))
        sweep.compliance = *text;
    if (auto text = storedText(settings, QStringLiteral("nplc")))
        sweep.nplc = *text;
    // Written as "true"/"false"; anything else leaves the box clear.
    sweep.continueAtCompliance =
        storedText(settings, QStringLiteral("continueatcompliance")) == QStringLiteral("true");
    sweep.meterIsSource =
        storedText(settings, QStringLiteral("meterissource")) == QStringLiteral("true");
    sweep.family = storedText(settings, QStringLiteral("family")) == QStringLiteral("true");
    for (const auto& [key, text] :
         {std::pair{"stepstart", &sweep.stepStart}, std::pair{"stepstop", &sweep.stepStop},
          std::pair{"stepsteps", &sweep.stepSteps},
          std::pair{"stepcompliance", &sweep.stepCompliance}})
        if (auto stored = storedText(settings, QLatin1String(key)))
            *text = *stored;
    return sweep;
}

void storeSweep(QSettings& settings, const StoredSweep& sweep)
{
    settings.setValue(QStringLiteral("sweepstart"), sweep.start);
    settings.setValue(QStringLiteral("sweepstop"), sweep.stop);
    settings.setValue(QStringLiteral("sweepsteps"), sweep.steps);
    settings.setValue(QStringLiteral("sweepshape"), sweep.shape);
    settings.setValue(QStringLiteral("sweeplevels"), sweep.levels);
    settings.setValue(QStringLiteral("sweepcycles"), sweep.cycles);
    settings.setValue(QStringLiteral("readings"), sweep.readings);
    settings.setValue(QStringLiteral("holdlevel"), sweep.holdLevel);
    settings.setValue(QStringLiteral("holdduration"), sweep.duration);
    settings.setValue(QStringLiteral("sweeprange"), QString::number(sweep.rangeIndex));
    settings.setValue(QStringLiteral("sweeplimit"), sweep.limit);
    settings.setValue(QStringLiteral("sweepsettlems"), sweep.settleMs);
    settings.setValue(QStringLiteral("meterrate"), sweep.meterRate);
    settings.setValue(QStringLiteral("compliance"), sweep.compliance);
    settings.setValue(QStringLiteral("nplc"), sweep.nplc);
    const auto flag = [](bool on) { return on ? QStringLiteral("true") : QStringLiteral("false"); };
    settings.setValue(QStringLiteral("continueatcompliance"), flag(sweep.continueAtCompliance));
    settings.setValue(QStringLiteral("meterissource"), flag(sweep.meterIsSource));
    settings.setValue(QStringLiteral("family"), flag(sweep.family));
    settings.setValue(QStringLiteral("stepstart"), sweep.stepStart);
    settings.setValue(QStringLiteral("stepstop"), sweep.stepStop);
    settings.setValue(QStringLiteral("stepsteps"), sweep.stepSteps);
    settings.setValue(QStringLiteral("stepcompliance"), sweep.stepCompliance);
}

} // namespace kestrel
