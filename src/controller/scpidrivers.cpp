#include "controller/scpidrivers.h"

#include "data/currentranges.h"
#include "data/numbertext.h"
#include "data/printabletext.h"

#include <QRegularExpression>

#include <cmath>

namespace kestrel
{

namespace
{

const QString errorQuery = QStringLiteral(":SYST:ERR?");

QString firstLine(const QString& text)
{
    QString line = text.section(QLatin1Char('\n'), 0, 0);
    if (line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    return line;
}

// What came back, quoted for a message: the lines joined, controls escaped, blanks
// kept, as a blank can be why a reply is refused.
QString quoted(const QString& text)
{
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString& line : lines)
        line = printableLine(line);
    lines.removeAll(QString());
    return lines.isEmpty()
               ? QStringLiteral("no reply")
               : QLatin1Char('"') + lines.join(QStringLiteral(" / ")) + QLatin1Char('"');
}

QString withReason(const LinkReply& reply)
{
    return reply.ok ? quoted(reply.text)
                    : QStringLiteral("%1 (%2)").arg(quoted(reply.text), reply.reason);
}

} // namespace

bool isIdentityLine(const QString& line)
{
    if (line.isEmpty() || line.contains(QLatin1Char('\n')) || printableText(line) != line)
        return false;
    const QStringList fields = line.split(QLatin1Char(','));
    return fields.size() == 4 && !fields[0].trimmed().isEmpty() && !fields[1].trimmed().isEmpty();
}

ScpiDriver::ScpiDriver(InstrumentLink& link, Endpoint endpoint, QString role,
                       const CancelSignal& cancel)
    : link_(link), endpoint_(std::move(endpoint)), role_(std::move(role)), cancel_(cancel)
{
}

QString ScpiDriver::who() const
{
    return QStringLiteral("The %1 at %2").arg(role_, printableText(endpointText(endpoint_)));
}

QString ScpiDriver::failedExchange(const QString& command, const LinkReply& reply) const
{
    return QStringLiteral("%1 did not %2 \"%3\": %4")
        .arg(who(),
             command.contains(QLatin1Char('?')) ? QStringLiteral("answer") : QStringLiteral("take"),
             command, withReason(reply));
}

LinkReply ScpiDriver::query(const QString& command)
{
    return link_.exchange(endpoint_, command, cancel_);
}

Identity ScpiDriver::identify()
{
    const LinkReply reply = query(QStringLiteral("*IDN?"));
    if (!reply.ok)
        return Identity{false, failedExchange(QStringLiteral("*IDN?"), reply), reply.text};
    QString line = reply.text;
    if (line.endsWith(QLatin1Char('\n')))
        line.chop(1);
    if (line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    if (!isIdentityLine(line))
        return Identity{false,
                        QStringLiteral("%1 did not answer like an instrument: %2")
                            .arg(who(), quoted(reply.text)),
                        reply.text};
    return Identity{true, line.trimmed(), reply.text};
}

std::optional<QString> ScpiDriver::nextError(QString* problem)
{
    static const QRegularExpression entry(QStringLiteral("^[+-]?([0-9]+),"));
    const LinkReply reply = query(errorQuery);
    if (!reply.ok) {
        *problem = failedExchange(errorQuery, reply);
        return std::nullopt;
    }
    const QString line = firstLine(reply.text);
    const QRegularExpressionMatch match = entry.match(line.trimmed());
    if (!match.hasMatch()) {
        *problem = QStringLiteral("%1 did not answer \"%2\" like a SCPI instrument: %3")
                       .arg(who(), errorQuery, quoted(reply.text));
        return std::nullopt;
    }
    return match.captured(1).toLongLong() == 0 ? QString() : printableText(line);
}

Step ScpiDriver::clearErrors(QStringList& older)
{
    QString problem;
    for (int read = 0; read < maxErrorReads; ++read) {
        const std::optional<QString> error = nextError(&problem);
        if (!error)
            return Step::failed(problem);
        if (error->isEmpty())
            return Step{};
        older << *error;
    }
    return Step::failed(QStringLiteral("%1 still reported errors after %2 reads of \"%3\" (the "
                                       "last: %4)")
                            .arg(who())
                            .arg(maxErrorReads)
                            .arg(errorQuery, older.constLast()));
}

Step ScpiDriver::send(const QString& command)
{
    const LinkReply reply = query(command);
    // A setting prints nothing when it got through; any text is a complaint.
    if (!reply.ok || !reply.text.isEmpty())
        return Step::failed(failedExchange(command, reply));
    return Step{};
}

Step ScpiDriver::set(const QString& command)
{
    if (Step sent = send(command); !sent.ok)
        return sent;
    QString problem;
    const std::optional<QString> error = nextError(&problem);
    if (!error)
        return Step::failed(problem);
    if (!error->isEmpty())
        return Step::failed(
            QStringLiteral("The %1 refused \"%2\": %3").arg(role_, command, *error));
    return Step{};
}

QString SourceDriver::levelCommand(double volts)
{
    return QStringLiteral(":SOUR1:APPL:DC 1,1,") + QString::fromStdString(formatDouble(volts));
}

SwitchOff SourceDriver::switchOff()
{
    if (const Step sent = send(offCommand); !sent.ok)
        return SwitchOff{SwitchOff::Output::Unknown, sent.message};
    QString problem;
    const std::optional<QString> error = nextError(&problem);
    const LinkReply state = query(stateQuery);
    const QString answer = state.ok ? firstLine(state.text).trimmed().toUpper() : QString();
    const bool saysOff = answer == QLatin1String("OFF") || answer == QLatin1String("0");
    const bool saysOn = answer == QLatin1String("ON") || answer == QLatin1String("1");
    if (saysOff)
        return SwitchOff{SwitchOff::Output::Off, QString()};
    const QString said =
        saysOn     ? QStringLiteral("it answers %1 to \"%2\"").arg(quoted(state.text), stateQuery)
        : state.ok ? QStringLiteral("its answer to \"%1\" is neither ON nor OFF: %2")
                         .arg(stateQuery, quoted(state.text))
                   : QStringLiteral("it did not say whether its output is off (%1)")
                         .arg(failedExchange(stateQuery, state));
    const SwitchOff::Output output = saysOn ? SwitchOff::Output::On : SwitchOff::Output::Unknown;
    if (!error)
        return SwitchOff{output, problem + QStringLiteral("; ") + said};
    if (!error->isEmpty())
        return SwitchOff{
            output,
            QStringLiteral("The source refused \"%1\": %2; %3").arg(offCommand, *error, said)};
    return SwitchOff{
        output,
        QStringLiteral("The source took \"%1\" without an error, but %2").arg(offCommand, said)};
}

QString MeterDriver::rateCommand(MeterRate rate)
{
    const char letter = rate == MeterRate::Fast ? 'F' : rate == MeterRate::Slow ? 'S' : 'M';
    return QStringLiteral(":RATE:CURR:DC ") + QLatin1Char(letter);
}

Step MeterDriver::configure(int rangeIndex, MeterRate rate)
{
    for (const QString& command :
         {QStringLiteral(":FUNCtion:CURRent:DC"),
          QStringLiteral(":MEAS:CURR:DC %1").arg(rangeIndex), rateCommand(rate)})
        if (Step step = set(command); !step.ok)
            return step;
    return Step{};
}

Reading MeterDriver::read()
{
    Reading reading;
    const LinkReply reply = query(readCommand);
    reading.reply = reply.text;
    if (!reply.ok) {
        reading.kind = Reading::Kind::NoReply;
        reading.problem = failedExchange(readCommand, reply);
        return reading;
    }
    const QByteArray bytes = reply.text.toUtf8();
    const std::optional<double> amps =
        parseReplyNumber(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    if (!amps) {
        reading.kind = Reading::Kind::NotANumber;
        reading.problem = quoted(reply.text);
        return reading;
    }
    reading.amps = *amps;
    reading.kind =
        std::fabs(*amps) >= overloadReadingAmps ? Reading::Kind::Overload : Reading::Kind::Amps;
    return reading;
}

} // namespace kestrel
