#include "data/levellist.h"

#include "data/numbertext.h"
#include "data/printabletext.h"
#include "data/runfile.h"
#include "data/sitext.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cmath>
#include <optional>

namespace kestrel
{

namespace
{

// A list file of the most levels, each with a long exponent form and a CR LF, is
// under 3 MB; a larger file is no list of levels.
constexpr qint64 maxListFileBytes = 16LL * 1024 * 1024;

QString tooMany(const QString& where)
{
    return QStringLiteral("%1 holds more than %2 levels, the most one sweep takes.")
        .arg(where, countText(maxListLevels));
}

QString notANumber(const QString& text)
{
    return QStringLiteral("\"%1\" is not a number (write it as 0.25, -1.5 or 2e-3)")
        .arg(printableLine(text.left(40)));
}

std::optional<double> levelNumber(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    const std::optional<double> value =
        parseNumber(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    if (!value || !std::isfinite(*value))
        return std::nullopt;
    return value;
}

} // namespace

std::variant<std::vector<double>, QString> parseLevelLines(const QByteArray& text,
                                                           const QString& name)
{
    std::vector<double> levels;
    qsizetype start = 0;
    for (int line = 1; start < text.size(); ++line) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        const QString item = QString::fromUtf8(text.mid(start, end - start)).trimmed();
        start = end + 1;
        if (item.isEmpty())
            continue;
        const std::optional<double> level = levelNumber(item);
        if (!level)
            return QStringLiteral("%1, line %2: %3.").arg(name).arg(line).arg(notANumber(item));
        if (levels.size() == std::size_t(maxListLevels))
            return tooMany(name);
        levels.push_back(*level);
    }
    if (levels.empty())
        return QStringLiteral("%1 holds no levels: write one number per line.").arg(name);
    return levels;
}

std::variant<std::vector<double>, QString> parseTypedLevels(const QString& text)
{
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    // "0,5" between digits is a decimal comma, not two levels 0 and 5 V.
    static const QRegularExpression decimalComma(QStringLiteral("[0-9.]+,[0-9]+"));
    if (const QRegularExpressionMatch comma = decimalComma.match(text); comma.hasMatch())
        return QStringLiteral("\"%1\" has a decimal comma: write %2, and separate levels with a "
                              "comma and a blank (0.5, 1).")
            .arg(printableLine(comma.captured().left(40)),
                 printableLine(
                     comma.captured().left(40).replace(QLatin1Char(','), QLatin1Char('.'))));
    const QStringList items = text.split(separators, Qt::SkipEmptyParts);
    if (items.isEmpty())
        return QStringLiteral("Type the levels, separated by commas (0, 0.1, 0.25).");
    if (items.size() > maxListLevels)
        return tooMany(QStringLiteral("The list"));
    std::vector<double> levels;
    levels.reserve(std::size_t(items.size()));
    for (qsizetype i = 0; i < items.size(); ++i) {
        const std::optional<double> level = levelNumber(items[i]);
        if (!level)
            return QStringLiteral("Level %1 of the list: %2.").arg(i + 1).arg(notANumber(items[i]));
        levels.push_back(*level);
    }
    return levels;
}

std::variant<std::vector<double>, QString> readLevelFile(const QString& path)
{
    const QString name = printableText(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1 cannot be read: %2.").arg(name, file.errorString());
    // What a Kestrel data file ("[[...") or CSV ("# key: value") starts with.
    const QByteArray head = file.peek(4096).trimmed();
    if (head.startsWith('[') || head.startsWith('#')) {
        std::variant<Run, QString> run = readRunFile(file);
        if (const auto* problem = std::get_if<QString>(&run))
            return name + QStringLiteral(": ") + *problem;
        const IVPointList& points = std::get<Run>(run).points;
        if (points.empty())
            return QStringLiteral("%1 holds no points, so no levels.").arg(name);
        if (points.size() > std::size_t(maxListLevels))
            return tooMany(name);
        std::vector<double> levels;
        levels.reserve(points.size());
        for (const IVPoint& point : points)
            levels.push_back(point[0]);
        return levels;
    }
    if (file.size() > maxListFileBytes)
        return tooMany(name);
    const QByteArray text = file.read(maxListFileBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return QStringLiteral("%1 cannot be read: %2.").arg(name, file.errorString());
    if (text.size() > maxListFileBytes)
        return tooMany(name);
    return parseLevelLines(text, name);
}

std::variant<std::vector<double>, QString> parseLevelsField(const QString& text)
{
    const QString typed = text.trimmed();
    if (typed.startsWith(QLatin1String("~/")))
        return readLevelFile(QDir::homePath() + typed.mid(1));
    if (typed.startsWith(QLatin1Char('/')) || typed.startsWith(QLatin1String("./")) ||
        typed.startsWith(QLatin1String("../")))
        return readLevelFile(typed);
    return parseTypedLevels(typed);
}

} // namespace kestrel
