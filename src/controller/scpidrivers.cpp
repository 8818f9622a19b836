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
    return fields.size() >= 4 && !fields[0].trimmed().isEmpty() && !fields[1].trimmed().isEmpty();
}

ProfilePtr defaultProfile()
{
    // Read once; a missing or damaged file leaves the built-in text, so the commands
    // Kestrel has always sent never depend on an installation detail.
    static const ProfilePtr profile = [] {
        auto read = readProfile(builtInProfileDirectory() + QStringLiteral("/default.toml"));
        if (auto* p = std::get_if<InstrumentProfile>(&read))
            return std::make_shared<const InstrumentProfile>(std::move(*p));
        qFatal("%s", qPrintable(std::get<ProfileError>(read).text()));
        return ProfilePtr();
    }();
    return profile;
}

ScpiDriver::ScpiDriver(InstrumentLink& link, Endpoint endpoint, QString role, ProfilePtr profile,
                       const CancelSignal& cancel)
    : link_(link), endpoint_(std::move(endpoint)), role_(std::move(role)),
      profile_(profile ? std::move(profile) : defaultProfile()), cancel_(cancel)
{
}

QString ScpiDriver::fillCommand(const InstrumentProfile& profile, const QString& pattern,
                                const QString& placeholder, const QString& value)
{
    ProfileValues values{{QStringLiteral("channel"), QString::number(profile.channel)}};
    if (!placeholder.isEmpty())
        values[placeholder] = value;
    return fill(pattern, values);
}

Step ScpiDriver::checkLanguage()
{
    if (profile_->languageQuery.isEmpty())
        return Step{};
    const LinkReply reply = query(profile_->languageQuery);
    if (!reply.ok)
        return Step::failed(failedExchange(profile_->languageQuery, reply));
    const QString answer = firstLine(reply.text).trimmed();
    if (answer.compare(profile_->language, Qt::CaseInsensitive) != 0)
        return Step::failed(
            QStringLiteral("%1 answers %2 to \"%3\": it must be set to its %4 command set "
                           "(on the instrument's menu) for the profile %5.")
                .arg(who(), quoted(reply.text), profile_->languageQuery, profile_->language,
                     profile_->name));
    return Step{};
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

LinkReply ScpiDriver::querySlow(const QString& command, int replyMs)
{
    return link_.exchangeSlow(endpoint_, command, cancel_, replyMs);
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
    // An entry is a number, then a comma, a blank or nothing ("-113,\"Undefined
    // header\"", "0  No Error"); the profile says which entry means an empty queue.
    static const QRegularExpression entry(QStringLiteral("^[+-]?[0-9]+(,|\\s|$)"));
    const QString& errorQuery = profile_->errorQuery;
    const LinkReply reply = query(errorQuery);
    if (!reply.ok) {
        *problem = failedExchange(errorQuery, reply);
        return std::nullopt;
    }
    const QString line = firstLine(reply.text);
    if (profile_->noError.match(line.trimmed()).hasMatch())
        return QString();
    if (!entry.match(line.trimmed()).hasMatch()) {
        *problem = QStringLiteral("%1 did not answer \"%2\" like a SCPI instrument: %3")
                       .arg(who(), errorQuery, quoted(reply.text));
        return std::nullopt;
    }
    return printableText(line);
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
                            .arg(profile_->errorQuery, older.constLast()));
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

QString SourceDriver::levelCommandFor(const InstrumentProfile& profile, double volts)
{
    return fillCommand(profile, profile.levelCommand, QStringLiteral("volts"),
                       QString::fromStdString(formatDouble(volts)));
}

QString SourceDriver::offCommandFor(const InstrumentProfile& profile)
{
    return fillCommand(profile, profile.offCommand);
}

Step SourceDriver::setUp(std::optional<double> limitAmps)
{
    for (const QString& line : profile().sourceSetup)
        if (Step step = set(command(line)); !step.ok)
            return step;
    if (!limitAmps)
        limitAmps = profile().defaultLimitAmps;
    if (limitAmps && !profile().limitCommand.isEmpty())
        return set(command(profile().limitCommand, QStringLiteral("amps"),
                           QString::fromStdString(formatDouble(*limitAmps))));
    return Step{};
}

std::optional<bool> SourceDriver::inCompliance(QString* problem)
{
    const FlagSource& source = profile().compliance;
    const QString ask = command(source.query);
    const LinkReply reply = query(ask);
    if (!reply.ok) {
        *problem = failedExchange(ask, reply);
        return std::nullopt;
    }
    const std::optional<bool> flag = readFlag(source, reply.text);
    if (!flag)
        *problem = QStringLiteral("%1 did not say whether it is at its current limit: %2 to "
                                  "\"%3\"")
                       .arg(who(), quoted(reply.text), ask);
    return flag;
}

SwitchOff SourceDriver::switchOff()
{
    // A shut-down command that fails does not keep the switch-off from going out.
    for (const QString& line : profile().sourceShutdown)
        send(command(line));
    const QString offCommand = offCommandFor(profile());
    if (const Step sent = send(offCommand); !sent.ok)
        return SwitchOff{SwitchOff::Output::Unknown, sent.message};
    QString problem;
    const std::optional<QString> error = nextError(&problem);
    const QString stateQuery = command(profile().outputState.query);
    const LinkReply state = query(stateQuery);
    const std::optional<bool> on =
        state.ok ? readFlag(profile().outputState, state.text) : std::nullopt;
    const bool saysOff = on == false;
    const bool saysOn = on == true;
    if (saysOff)
        return SwitchOff{SwitchOff::Output::Off, QString()};
    const QString neither = profile().outputState.bit >= 0
                                ? QStringLiteral("its answer to \"%1\" is no status number: %2")
                                : QStringLiteral("its answer to \"%1\" is neither ON nor OFF: %2");
    const QString said =
        saysOn     ? QStringLiteral("it answers %1 to \"%2\"").arg(quoted(state.text), stateQuery)
        : state.ok ? neither.arg(stateQuery, quoted(state.text))
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

Step MeterDriver::configure(const MeterSetting& setting)
{
    const InstrumentProfile& p = profile();
    QStringList commands;
    for (const QString& line : p.meterSetup)
        commands << command(line);
    if (setting.rangeIndex == autoRangeIndex) {
        commands << command(p.autoRangeOn);
    } else if (setting.rangeIndex >= 0 && setting.rangeIndex < int(p.ranges.size())) {
        if (!p.autoRangeOff.isEmpty())
            commands << command(p.autoRangeOff);
        commands << command(p.rangeCommand, QStringLiteral("range"),
                            p.ranges[std::size_t(setting.rangeIndex)].token);
    } else {
        return Step::failed(QStringLiteral("%1 has no range %2 in the profile %3.")
                                .arg(who())
                                .arg(setting.rangeIndex)
                                .arg(p.name));
    }
    if (setting.nplc && p.hasNplc()) {
        commands << command(p.nplcCommand, QStringLiteral("nplc"),
                            QString::fromStdString(formatDouble(*setting.nplc)));
    } else if (!p.rates.empty()) {
        const QString name = rateName(setting.rate);
        for (const ProfileRate& rate : p.rates)
            if (rate.name == name)
                commands << command(p.rateCommand, QStringLiteral("rate"), rate.token);
    } else if (p.hasNplc() && p.defaultNplc) {
        commands << command(p.nplcCommand, QStringLiteral("nplc"),
                            QString::fromStdString(formatDouble(*p.defaultNplc)));
    }
    for (const QString& line : std::as_const(commands))
        if (Step step = set(line); !step.ok)
            return step;
    return Step{};
}

int MeterDriver::readingMs(double nplc)
{
    return int(std::min(2 * nplc * 20.0 + 1000.0, 600000.0));
}

Reading MeterDriver::read(const FlagSource* complianceField, std::optional<double> nplc)
{
    Reading reading;
    const QString ask = command(profile().readQuery);
    // Only a reading longer than the link's usual wait needs a longer one.
    constexpr int usualReplyMs = 4000;
    const int slowMs = nplc && profile().hasNplc() ? readingMs(*nplc) : 0;
    const LinkReply reply = slowMs > usualReplyMs ? querySlow(ask, slowMs) : query(ask);
    reading.reply = reply.text;
    if (!reply.ok) {
        reading.kind = Reading::Kind::NoReply;
        reading.problem = failedExchange(ask, reply);
        return reading;
    }
    // A reading of one field is the whole first line, by the reply number rule; of
    // several, the profile's field of the first line, by the same rule.
    const bool crlf = profile().terminator == QLatin1String("\r\n");
    QString field = crlf ? firstLine(reply.text) : reply.text;
    if (profile().currentField > 1 || (complianceField && complianceField->field > 0))
        field =
            firstLine(reply.text)
                .section(QLatin1Char(','), profile().currentField - 1, profile().currentField - 1);
    const QByteArray bytes = field.toUtf8();
    const std::optional<double> amps =
        parseReplyNumber(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    if (!amps) {
        reading.kind = Reading::Kind::NotANumber;
        reading.problem = quoted(reply.text);
        return reading;
    }
    reading.amps = *amps;
    bool overload = false;
    for (double mark : profile().overloadMarks)
        overload = overload || std::fabs(*amps) >= mark;
    reading.kind = overload ? Reading::Kind::Overload : Reading::Kind::Amps;
    if (complianceField && complianceField->field > 0) {
        reading.inCompliance = readFlag(*complianceField, firstLine(reply.text));
        if (!reading.inCompliance && reading.kind == Reading::Kind::Amps) {
            reading.kind = Reading::Kind::NotANumber;
            reading.problem = QStringLiteral("%1, whose field %2 is no status word")
                                  .arg(quoted(reply.text))
                                  .arg(complianceField->field);
        }
    }
    return reading;
}

} // namespace kestrel
