#pragma once

#include <QByteArray>
#include <QString>

#include <variant>
#include <vector>

namespace kestrel
{

// The most levels one list sweep takes.
inline constexpr int maxListLevels = 100000;

// Levels as a person writes them in a file: one number per line, by the rule for
// typed numbers (plain decimal notation, a decimal point whatever the locale); blank
// lines and blanks around a number are skipped. A sentence naming `name`, the line and
// what is wrong there otherwise, so nothing is sent before every level is known.
std::variant<std::vector<double>, QString> parseLevelLines(const QByteArray& text,
                                                           const QString& name);

// Levels typed into one field: numbers separated by commas, blanks or line ends.
std::variant<std::vector<double>, QString> parseTypedLevels(const QString& text);

// The levels of a file: the levels of the points of a Kestrel data file or CSV, in
// their order; of any other file, one number per line.
std::variant<std::vector<double>, QString> readLevelFile(const QString& path);

// The window's Levels field: typed levels, or the path of a level file when the text
// starts as a path does ("/", "~/", "./", "../"), which no number does.
std::variant<std::vector<double>, QString> parseLevelsField(const QString& text);

} // namespace kestrel
