#include "sim/scpiheader.h"

#include "data/numbertext.h"

namespace kestrel::sim
{

namespace
{

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArrayView trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

} // namespace

ScpiUnit parseUnit(QByteArrayView text)
{
    text = trimmed(text);
    qsizetype headerEnd = 0;
    while (headerEnd < text.size() && !isBlank(text[headerEnd]))
        ++headerEnd;

    ScpiUnit unit;
    unit.header = text.first(headerEnd).toByteArray();
    if (unit.header.endsWith('?')) {
        unit.query = true;
        unit.header.chop(1);
    }
    const QByteArrayView params = trimmed(text.sliced(headerEnd));
    if (!params.isEmpty()) {
        for (const QByteArray& param : params.toByteArray().split(','))
            unit.params << trimmed(param).toByteArray();
    }
    return unit;
}

QList<QByteArray> splitUnits(QByteArrayView line)
{
    QList<QByteArray> units;
    for (const QByteArray& unit : line.toByteArray().split(';')) {
        if (!trimmed(unit).isEmpty())
            units << unit;
    }
    return units;
}

HeaderPattern::HeaderPattern(QByteArrayView pattern)
{
    if (pattern.startsWith('*')) {
        common_ = pattern.toByteArray().toUpper();
        return;
    }
    qsizetype i = 0;
    while (i < pattern.size()) {
        if (pattern[i] == ':') {
            ++i;
            continue;
        }
        Node node;
        node.optional = pattern[i] == '[';
        if (node.optional)
            ++i;
        while (i < pattern.size() && pattern[i] == ':')
            ++i;
        while (i < pattern.size() && isLetter(pattern[i])) {
            node.longForm += upper(pattern[i]);
            if (pattern[i] >= 'A' && pattern[i] <= 'Z')
                node.shortForm += pattern[i];
            ++i;
        }
        if (i < pattern.size() && pattern[i] == '#') {
            node.numbered = true;
            ++i;
        }
        if (node.optional && i < pattern.size() && pattern[i] == ']')
            ++i;
        nodes_ << node;
    }
}

bool HeaderPattern::matches(QByteArrayView header) const
{
    if (!common_.isEmpty())
        return header.toByteArray().toUpper() == common_;
    if (header.startsWith(':'))
        header = header.sliced(1);

    QList<Keyword> keywords;
    for (const QByteArray& part : header.toByteArray().split(':')) {
        qsizetype letters = 0;
        while (letters < part.size() && isLetter(part[letters]))
            ++letters;
        qsizetype digits = letters;
        while (digits < part.size() && isDigit(part[digits]))
            ++digits;
        if (letters == 0 || digits != part.size())
            return false;
        keywords << Keyword{part.first(letters).toUpper(), part.sliced(letters)};
    }
    return matchFrom(0, keywords, 0);
}

bool HeaderPattern::matchFrom(qsizetype node, const QList<Keyword>& keywords,
                              qsizetype keyword) const
{
    if (node == nodes_.size())
        return keyword == keywords.size();
    if (keyword < keywords.size() && nodeMatches(nodes_[node], keywords[keyword]) &&
        matchFrom(node + 1, keywords, keyword + 1))
        return true;
    return nodes_[node].optional && matchFrom(node + 1, keywords, keyword);
}

bool HeaderPattern::nodeMatches(const Node& node, const Keyword& keyword)
{
    if (keyword.word != node.longForm && keyword.word != node.shortForm)
        return false;
    return keyword.suffix.isEmpty() || (node.numbered && keyword.suffix == "1");
}

std::optional<double> numberParameter(const QByteArray& text)
{
    return parseNumber(std::string_view(text.constData(), std::size_t(text.size())));
}

std::optional<bool> booleanParameter(const QByteArray& text)
{
    const QByteArray word = text.toUpper();
    if (word == "ON" || word == "1")
        return true;
    if (word == "OFF" || word == "0")
        return false;
    return std::nullopt;
}

} // namespace kestrel::sim
