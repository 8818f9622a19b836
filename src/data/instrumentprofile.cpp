#include "data/instrumentprofile.h"

#include "data/numbertext.h"

#include <QFile>
#include <QFileInfo>

#include <toml++/toml.h>

#include <cmath>
#include <set>

namespace kestrel
{

namespace
{

QString numberText(double x)
{
    QString text = QString::fromStdString(formatDouble(x));
    if (text.endsWith(QLatin1String(".0")))
        text.chop(2);
    return text;
}

// Thrown inside the reader only; parseProfile turns it into its result.
struct Refusal {
    ProfileError error;
};

// Reads the tables of one profile file, refusing anything it does not know, so a
// misspelt key is a message and not a command silently missing.
class Reader
{
  public:
    Reader(const toml::table& root, QString file) : root_(root), file_(std::move(file)) {}

    [[noreturn]] void refuse(const toml::node* node, const QString& field,
                             const QString& problem) const
    {
        const int line = node ? int(node->source().begin.line) : 0;
        throw Refusal{ProfileError{file_, line, field, problem}};
    }

    const toml::table* table(const char* key)
    {
        known_[QString()].insert(QLatin1String(key));
        const toml::node* node = root_.get(key);
        if (!node)
            return nullptr;
        if (!node->is_table())
            refuse(node, QLatin1String(key),
                   QStringLiteral("must be a table ([%1])").arg(QLatin1String(key)));
        return node->as_table();
    }

    const toml::node* node(const toml::table* in, const QString& prefix, const char* key)
    {
        known_[prefix].insert(QLatin1String(key));
        return in ? in->get(key) : nullptr;
    }

    static QString fieldName(const QString& prefix, const char* key)
    {
        if (prefix.isEmpty())
            return QLatin1String(key);
        return prefix + QLatin1Char('.') + QLatin1String(key);
    }

    QString text(const toml::table* in, const QString& prefix, const char* key,
                 const QString& fallback = QString())
    {
        const toml::node* n = node(in, prefix, key);
        if (!n)
            return fallback;
        if (!n->is_string())
            refuse(n, fieldName(prefix, key), QStringLiteral("must be a text in quotes"));
        QString value = QString::fromStdString(std::string(*n->as_string()));
        if (value.isEmpty())
            refuse(n, fieldName(prefix, key), QStringLiteral("is empty"));
        return value;
    }

    std::optional<double> number(const toml::table* in, const QString& prefix, const char* key)
    {
        const toml::node* n = node(in, prefix, key);
        if (!n)
            return std::nullopt;
        std::optional<double> value;
        if (n->is_integer())
            value = double(n->as_integer()->get());
        else if (n->is_floating_point())
            value = n->as_floating_point()->get();
        else
            refuse(n, fieldName(prefix, key), QStringLiteral("must be a number"));
        if (!std::isfinite(*value) || *value <= 0)
            refuse(n, fieldName(prefix, key), QStringLiteral("must be a positive number"));
        return value;
    }

    int whole(const toml::table* in, const QString& prefix, const char* key, int fallback, int low,
              int high)
    {
        const toml::node* n = node(in, prefix, key);
        if (!n)
            return fallback;
        if (!n->is_integer() || n->as_integer()->get() < low || n->as_integer()->get() > high)
            refuse(n, fieldName(prefix, key),
                   QStringLiteral("must be a whole number from %1 to %2").arg(low).arg(high));
        return int(n->as_integer()->get());
    }

    QStringList texts(const toml::table* in, const QString& prefix, const char* key)
    {
        const toml::node* n = node(in, prefix, key);
        QStringList values;
        if (!n)
            return values;
        if (!n->is_array())
            refuse(n, fieldName(prefix, key), QStringLiteral("must be a list of texts"));
        for (const toml::node& item : *n->as_array()) {
            if (!item.is_string() || item.as_string()->get().empty())
                refuse(&item, fieldName(prefix, key),
                       QStringLiteral("must be a list of texts, none empty"));
            values << QString::fromStdString(item.as_string()->get());
        }
        return values;
    }

    std::vector<double> numbers(const toml::table* in, const QString& prefix, const char* key)
    {
        const toml::node* n = node(in, prefix, key);
        std::vector<double> values;
        if (!n)
            return values;
        if (!n->is_array())
            refuse(n, fieldName(prefix, key), QStringLiteral("must be a list of numbers"));
        for (const toml::node& item : *n->as_array()) {
            const std::optional<double> value = item.value<double>();
            if (!value || !std::isfinite(*value) || *value <= 0)
                refuse(&item, fieldName(prefix, key),
                       QStringLiteral("must be a list of positive numbers"));
            values.push_back(*value);
        }
        return values;
    }

    // Every key of every table read is one the reader asked for.
    void checkKnown(const toml::table& table, const QString& prefix)
    {
        const std::set<QString>& known = known_[prefix];
        for (const auto& [key, value] : table) {
            const QString name = QString::fromStdString(std::string(key.str()));
            if (!known.count(name))
                refuse(&value, fieldName(prefix, name.toUtf8().constData()),
                       QStringLiteral("is not a field a profile has"));
        }
    }

    const toml::table& root() const { return root_; }

  private:
    const toml::table& root_;
    QString file_;
    std::map<QString, std::set<QString>> known_;
};

// Checks that a command holds only the placeholders it may.
void checkPlaceholders(Reader& reader, const toml::node* node, const QString& field,
                       const QString& command, std::initializer_list<const char*> allowed)
{
    static const QRegularExpression placeholder(QStringLiteral("\\{([^{}]*)\\}"));
    for (auto it = placeholder.globalMatch(command); it.hasNext();) {
        const QString name = it.next().captured(1);
        bool ok = name == QLatin1String("channel");
        for (const char* a : allowed)
            ok = ok || name == QLatin1String(a);
        if (!ok) {
            QStringList may{QStringLiteral("{channel}")};
            for (const char* a : allowed)
                may << QStringLiteral("{%1}").arg(QLatin1String(a));
            reader.refuse(node, field,
                          QStringLiteral("unknown placeholder {%1} (this command may hold %2)")
                              .arg(name, may.join(QStringLiteral(", "))));
        }
    }
}

FlagSource readFlagSource(Reader& reader, const toml::table* parent, const QString& prefix,
                          const char* key, bool fieldAllowed)
{
    const QString name = Reader::fieldName(prefix, key);
    const toml::node* n = reader.node(parent, prefix, key);
    FlagSource flag;
    if (!n)
        return flag;
    if (n->is_string()) {
        flag.query = QString::fromStdString(n->as_string()->get());
        if (flag.query.isEmpty())
            reader.refuse(n, name, QStringLiteral("is empty"));
        return flag;
    }
    if (!n->is_table())
        reader.refuse(n, name,
                      QStringLiteral("must be a query in quotes, or a table with query "
                                     "or field, and bit"));
    const toml::table* t = n->as_table();
    flag.query = reader.text(t, name, "query");
    flag.field = fieldAllowed ? reader.whole(t, name, "field", 0, 1, 64) : 0;
    flag.bit = reader.whole(t, name, "bit", -1, 0, 63);
    reader.checkKnown(*t, name);
    if (flag.query.isEmpty() == (flag.field == 0))
        reader.refuse(n, name,
                      fieldAllowed
                          ? QStringLiteral("needs either a query or a field of the reading")
                          : QStringLiteral("needs a query"));
    if (flag.field > 0 && flag.bit < 0)
        reader.refuse(n, name, QStringLiteral("a field of the reading needs a bit"));
    return flag;
}

InstrumentProfile read(Reader& reader, const QString& file)
{
    InstrumentProfile p;
    p.file = file;
    p.name = QFileInfo(file).completeBaseName();
    const toml::table* root = &reader.root();
    const QString top;

    p.description = reader.text(root, top, "description");
    p.manual = reader.text(root, top, "manual");
    const toml::node* identity = reader.node(root, top, "identity");
    const QString pattern = reader.text(root, top, "identity");
    if (pattern.isEmpty())
        reader.refuse(nullptr, QStringLiteral("identity"),
                      QStringLiteral("is missing: a regular expression over the *IDN? answer"));
    p.identity = QRegularExpression(pattern);
    if (!p.identity.isValid())
        reader.refuse(identity, QStringLiteral("identity"),
                      QStringLiteral("is not a regular expression: %1 at character %2")
                          .arg(p.identity.errorString())
                          .arg(p.identity.patternErrorOffset()));
    const toml::node* rolesNode = reader.node(root, top, "roles");
    const QStringList roles = reader.texts(root, top, "roles");
    for (const QString& role : roles) {
        if (role == QLatin1String("source"))
            p.canSource = true;
        else if (role == QLatin1String("meter"))
            p.canMeasure = true;
        else
            reader.refuse(rolesNode, QStringLiteral("roles"),
                          QStringLiteral("\"%1\" is not a role (source, meter)").arg(role));
    }
    if (roles.isEmpty())
        reader.refuse(rolesNode, QStringLiteral("roles"),
                      QStringLiteral("is missing: [\"source\"], [\"meter\"] or both"));
    const toml::node* smu = reader.node(root, top, "smu");
    if (smu && !smu->is_boolean())
        reader.refuse(smu, QStringLiteral("smu"), QStringLiteral("must be true or false"));
    p.smu = smu && smu->as_boolean()->get();
    if (p.smu && !(p.canSource && p.canMeasure))
        reader.refuse(smu, QStringLiteral("smu"),
                      QStringLiteral("a source-measure unit has both roles, source and meter"));
    p.channel = reader.whole(root, top, "channel", 1, 1, 64);
    const toml::node* terminator = reader.node(root, top, "terminator");
    p.terminator = reader.text(root, top, "terminator", p.terminator);
    if (p.terminator != QLatin1String("\n") && p.terminator != QLatin1String("\r\n"))
        reader.refuse(terminator, QStringLiteral("terminator"),
                      QStringLiteral("must be \"\\n\" or \"\\r\\n\""));
    p.languageQuery = reader.text(root, top, "language_query");
    p.language = reader.text(root, top, "language");
    if (p.languageQuery.isEmpty() != p.language.isEmpty())
        reader.refuse(nullptr, QStringLiteral("language"),
                      QStringLiteral("language_query and language go together"));

    const QString errorsName = QStringLiteral("errors");
    const toml::table* errors = reader.table("errors");
    p.errorQuery = reader.text(errors, errorsName, "query", p.errorQuery);
    const toml::node* noneNode = reader.node(errors, errorsName, "none");
    p.noError = QRegularExpression(
        reader.text(errors, errorsName, "none", QStringLiteral("^[+-]?0+(,|\\s|$)")));
    if (!p.noError.isValid())
        reader.refuse(
            noneNode, QStringLiteral("errors.none"),
            QStringLiteral("is not a regular expression: %1").arg(p.noError.errorString()));
    if (errors)
        reader.checkKnown(*errors, errorsName);

    const QString sourceName = QStringLiteral("source");
    const toml::table* source = reader.table("source");
    const auto command = [&](const toml::table* in, const QString& prefix, const char* key,
                             std::initializer_list<const char*> allowed) {
        QString value = reader.text(in, prefix, key);
        checkPlaceholders(reader, in ? in->get(key) : nullptr, Reader::fieldName(prefix, key),
                          value, allowed);
        return value;
    };
    const auto commands = [&](const toml::table* in, const QString& prefix, const char* key) {
        QStringList values = reader.texts(in, prefix, key);
        for (const QString& value : values)
            checkPlaceholders(reader, in ? in->get(key) : nullptr, Reader::fieldName(prefix, key),
                              value, {});
        return values;
    };
    p.sourceSetup = commands(source, sourceName, "setup");
    p.levelCommand = command(source, sourceName, "level", {"volts"});
    p.onCommand = command(source, sourceName, "on", {});
    p.offCommand = command(source, sourceName, "off", {});
    p.outputState = readFlagSource(reader, source, sourceName, "state", false);
    p.limitCommand = command(source, sourceName, "limit", {"amps"});
    p.defaultLimitAmps = reader.number(source, sourceName, "default_limit");
    p.maxLimitAmps = reader.number(source, sourceName, "max_limit").value_or(0.0);
    p.compliance = readFlagSource(reader, source, sourceName, "compliance", true);
    p.sourceShutdown = commands(source, sourceName, "shutdown");
    if (source)
        reader.checkKnown(*source, sourceName);

    const QString meterName = QStringLiteral("meter");
    const toml::table* meter = reader.table("meter");
    p.meterSetup = commands(meter, meterName, "setup");
    p.readQuery = command(meter, meterName, "read", {});
    p.currentField = reader.whole(meter, meterName, "current_field", 1, 1, 64);
    p.overloadMarks = reader.numbers(meter, meterName, "overload");
    p.rangeCommand = command(meter, meterName, "range", {"range"});
    p.autoRangeOn = command(meter, meterName, "auto_range_on", {});
    p.autoRangeOff = command(meter, meterName, "auto_range_off", {});
    p.rateCommand = command(meter, meterName, "rate", {"rate"});
    p.nplcCommand = command(meter, meterName, "nplc", {"nplc"});
    p.nplcValues = reader.numbers(meter, meterName, "nplc_values");
    p.nplcMin = reader.number(meter, meterName, "nplc_min").value_or(0.0);
    p.nplcMax = reader.number(meter, meterName, "nplc_max").value_or(0.0);
    p.defaultNplc = reader.number(meter, meterName, "default_nplc");
    p.meterShutdown = commands(meter, meterName, "shutdown");

    const QString rangesName = QStringLiteral("meter.ranges");
    const toml::node* rangesNode = reader.node(meter, meterName, "ranges");
    if (rangesNode) {
        if (!rangesNode->is_array())
            reader.refuse(rangesNode, rangesName, QStringLiteral("must be a list of tables"));
        for (const toml::node& item : *rangesNode->as_array()) {
            if (!item.is_table())
                reader.refuse(&item, rangesName,
                              QStringLiteral("each range is { label = …, amps = …, token = … }"));
            const toml::table* t = item.as_table();
            ProfileRange range;
            range.label = reader.text(t, rangesName, "label");
            range.amps = reader.number(t, rangesName, "amps").value_or(0.0);
            range.token = reader.text(t, rangesName, "token");
            reader.checkKnown(*t, rangesName);
            if (range.label.isEmpty() || range.amps <= 0 || range.token.isEmpty())
                reader.refuse(&item, rangesName,
                              QStringLiteral("each range needs a label, amps and a token"));
            if (!p.ranges.empty() && range.amps <= p.ranges.back().amps)
                reader.refuse(&item, rangesName,
                              QStringLiteral("the ranges go from the most sensitive up"));
            p.ranges.push_back(range);
        }
    }
    const QString ratesName = QStringLiteral("meter.rates");
    const toml::node* ratesNode = reader.node(meter, meterName, "rates");
    if (ratesNode) {
        if (!ratesNode->is_array())
            reader.refuse(ratesNode, ratesName, QStringLiteral("must be a list of tables"));
        for (const toml::node& item : *ratesNode->as_array()) {
            if (!item.is_table())
                reader.refuse(&item, ratesName,
                              QStringLiteral("each rate is { name = …, token = … }"));
            const toml::table* t = item.as_table();
            ProfileRate rate{reader.text(t, ratesName, "name"), reader.text(t, ratesName, "token")};
            reader.checkKnown(*t, ratesName);
            if (rate.name != QLatin1String("fast") && rate.name != QLatin1String("medium") &&
                rate.name != QLatin1String("slow"))
                reader.refuse(&item, ratesName,
                              QStringLiteral("a rate's name is fast, medium or slow"));
            if (rate.token.isEmpty())
                reader.refuse(&item, ratesName, QStringLiteral("each rate needs a token"));
            p.rates.push_back(rate);
        }
    }
    if (meter)
        reader.checkKnown(*meter, meterName);
    reader.checkKnown(*root, top);

    // What each role needs. A missing field is named at its table's line, where it
    // belongs; without the table, the file as a whole is meant.
    const auto need = [&](bool missing, const QString& field, const QString& what) {
        if (missing)
            reader.refuse(reader.root().get(field.section(QLatin1Char('.'), 0, 0).toStdString()),
                          field, QStringLiteral("is missing: %1").arg(what));
    };
    if (p.canSource) {
        need(p.levelCommand.isEmpty(), QStringLiteral("source.level"),
             QStringLiteral("a source sets its level with it"));
        need(p.onCommand.isEmpty(), QStringLiteral("source.on"),
             QStringLiteral("a source switches its output on with it"));
        need(p.offCommand.isEmpty(), QStringLiteral("source.off"),
             QStringLiteral("a source switches its output off with it"));
        need(!p.outputState.known(), QStringLiteral("source.state"),
             QStringLiteral("without it nobody can confirm that the output is off"));
        need(p.defaultLimitAmps && p.limitCommand.isEmpty(), QStringLiteral("source.limit"),
             QStringLiteral("default_limit needs the command that sets it"));
        need(!p.limitCommand.isEmpty() && !p.defaultLimitAmps,
             QStringLiteral("source.default_limit"),
             QStringLiteral("the limit set when the user gives none"));
    } else if (source) {
        reader.refuse(reader.root().get("source"), sourceName,
                      QStringLiteral("is given, but roles does not hold \"source\""));
    }
    if (p.canMeasure) {
        need(p.readQuery.isEmpty(), QStringLiteral("meter.read"),
             QStringLiteral("a meter is read with it"));
        need(p.overloadMarks.empty(), QStringLiteral("meter.overload"),
             QStringLiteral("the reading the meter gives when the current is beyond its range"));
        need(!p.ranges.empty() && p.rangeCommand.isEmpty(), QStringLiteral("meter.range"),
             QStringLiteral("the ranges need the command that selects one"));
        need(p.ranges.empty() && !p.rangeCommand.isEmpty(), QStringLiteral("meter.ranges"),
             QStringLiteral("the range command needs the list of ranges"));
        need(p.ranges.empty() && !p.hasAutoRange(), QStringLiteral("meter.ranges"),
             QStringLiteral("a meter needs ranges, or auto_range_on"));
        need(!p.rates.empty() && p.rateCommand.isEmpty(), QStringLiteral("meter.rate"),
             QStringLiteral("the rates need the command that selects one"));
        need(p.rates.empty() && !p.rateCommand.isEmpty(), QStringLiteral("meter.rates"),
             QStringLiteral("the rate command needs the list of rates"));
        need(p.hasNplc() && p.nplcValues.empty() && !(p.nplcMin > 0 && p.nplcMax >= p.nplcMin),
             QStringLiteral("meter.nplc_values"),
             QStringLiteral("the NPLC it accepts: nplc_values, or nplc_min and nplc_max"));
        if (p.hasNplc() && p.defaultNplc && !p.acceptsNplc(*p.defaultNplc))
            reader.refuse(nullptr, QStringLiteral("meter.default_nplc"),
                          QStringLiteral("is not one the meter accepts (%1)").arg(p.nplcChoices()));
    } else if (meter) {
        reader.refuse(reader.root().get("meter"), meterName,
                      QStringLiteral("is given, but roles does not hold \"meter\""));
    }
    if (p.compliance.field > 0 && !p.canMeasure)
        reader.refuse(nullptr, QStringLiteral("source.compliance"),
                      QStringLiteral("a field of the reading needs the meter role"));
    return p;
}

} // namespace

std::optional<bool> readFlag(const FlagSource& source, const QString& answer)
{
    QString text = answer.section(QLatin1Char('\n'), 0, 0).trimmed();
    if (source.field > 0)
        text = text.section(QLatin1Char(','), source.field - 1, source.field - 1).trimmed();
    if (source.bit < 0) {
        const QString word = text.toUpper();
        if (word == QLatin1String("1") || word == QLatin1String("ON"))
            return true;
        if (word == QLatin1String("0") || word == QLatin1String("OFF"))
            return false;
        return std::nullopt;
    }
    bool ok = false;
    qulonglong bits = 0;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        bits = text.mid(2).toULongLong(&ok, 16);
    } else {
        // Status words come as integers, some written as floating point ("+1.941200E+04").
        const QByteArray bytes = text.toLatin1();
        const std::optional<double> value =
            parseNumber(std::string_view(bytes.constData(), std::size_t(bytes.size())));
        ok = value && *value >= 0 && *value < 1.8e19 && *value == std::floor(*value);
        if (ok)
            bits = qulonglong(*value);
    }
    if (!ok)
        return std::nullopt;
    return ((bits >> source.bit) & 1U) != 0;
}

bool InstrumentProfile::acceptsNplc(double nplc) const
{
    if (!nplcValues.empty())
        return std::find(nplcValues.begin(), nplcValues.end(), nplc) != nplcValues.end();
    return nplc >= nplcMin && nplc <= nplcMax;
}

QString InstrumentProfile::nplcChoices() const
{
    if (nplcValues.empty())
        return QStringLiteral("%1 to %2").arg(numberText(nplcMin), numberText(nplcMax));
    QStringList values;
    for (double v : nplcValues)
        values << numberText(v);
    return values.join(QStringLiteral(", "));
}

QStringList InstrumentProfile::roleNames() const
{
    QStringList names;
    if (canSource)
        names << QStringLiteral("source");
    if (canMeasure)
        names << QStringLiteral("meter");
    return names;
}

QString fill(const QString& command, const ProfileValues& values)
{
    QString filled = command;
    for (const auto& [name, value] : values)
        filled.replace(QLatin1Char('{') + name + QLatin1Char('}'), value);
    return filled;
}

QString ProfileError::text() const
{
    QString where = file;
    if (line > 0)
        where += QStringLiteral(", line %1").arg(line);
    if (!field.isEmpty())
        where += QStringLiteral(", field %1").arg(field);
    return where + QStringLiteral(": ") + problem;
}

std::variant<InstrumentProfile, ProfileError> parseProfile(const QByteArray& text,
                                                           const QString& file)
{
    toml::table root;
    try {
        root = toml::parse(std::string_view(text.constData(), std::size_t(text.size())),
                           file.toStdString());
    } catch (const toml::parse_error& error) {
        return ProfileError{file, int(error.source().begin.line), QString(),
                            QString::fromStdString(std::string(error.description()))};
    }
    Reader reader(root, file);
    try {
        return read(reader, file);
    } catch (const Refusal& refusal) {
        return refusal.error;
    }
}

std::variant<InstrumentProfile, ProfileError> readProfile(const QString& path)
{
    QFile file(path);
    // A profile is a few kilobytes; anything far larger is no profile.
    constexpr qint64 largest = 1 << 20;
    if (!file.open(QIODevice::ReadOnly))
        return ProfileError{path, 0, QString(),
                            QStringLiteral("cannot be read: %1").arg(file.errorString())};
    if (file.size() > largest)
        return ProfileError{path, 0, QString(), QStringLiteral("is too large for a profile")};
    return parseProfile(file.read(largest), path);
}

} // namespace kestrel
