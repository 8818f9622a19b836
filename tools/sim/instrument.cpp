#include "sim/instrument.h"

namespace kestrel::sim
{

Instrument::Instrument(QByteArray identity) : identity_(std::move(identity))
{
    addQuery("*IDN", [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
        if (!hasParameters(unit, 0))
            return std::nullopt;
        return identity_;
    });
    addCommand("*RST", [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
        if (hasParameters(unit, 0))
            reset();
        return std::nullopt;
    });
    addCommand("*CLS", [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
        if (hasParameters(unit, 0))
            errors_.clear();
        return std::nullopt;
    });
    addQuery("*OPC", [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
        if (!hasParameters(unit, 0))
            return std::nullopt;
        return QByteArray("1");
    });
    addQuery("SYSTem:ERRor[:NEXT]", [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
        if (!hasParameters(unit, 0))
            return std::nullopt;
        return errorFormat_ ? errorFormat_(errors_.popCode()) : errors_.pop();
    });
}

void Instrument::setSerialNumber(const QByteArray& serial)
{
    QList<QByteArray> fields = identity_.split(',');
    if (fields.size() < 3)
        return;
    fields[2] = serial;
    identity_ = fields.join(',');
}

void Instrument::addCommand(const char* pattern, Handler handler)
{
    commands_.push_back({HeaderPattern(pattern), false, false, std::move(handler)});
}

void Instrument::addQuery(const char* pattern, Handler handler, bool measurement)
{
    commands_.push_back({HeaderPattern(pattern), true, measurement, std::move(handler)});
}

bool Instrument::hasParameters(const ScpiUnit& unit, qsizetype count)
{
    if (unit.params.size() < count) {
        pushError(scpiError::missingParameter);
        return false;
    }
    if (unit.params.size() > count) {
        pushError(scpiError::parameterNotAllowed);
        return false;
    }
    return true;
}

Response Instrument::execute(QByteArrayView line)
{
    Response response;
    QByteArrayList replies;
    for (const QByteArray& text : splitUnits(line)) {
        const ScpiUnit unit = parseUnit(text);
        const auto command =
            std::find_if(commands_.begin(), commands_.end(), [&](const Command& c) {
                return c.query == unit.query && c.pattern.matches(unit.header);
            });
        if (command == commands_.end()) {
            // A real instrument sends nothing for a query it does not know.
            pushError(scpiError::undefinedHeader);
            continue;
        }
        response.measurement |= command->measurement;
        integrationMs_ = 0;
        if (std::optional<QByteArray> reply = command->handler(unit))
            replies << *reply;
        if (command->measurement)
            response.integrationMs += integrationMs_;
    }
    if (!replies.isEmpty())
        response.reply = replies.join(';');
    return response;
}

} // namespace kestrel::sim
