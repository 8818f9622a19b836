#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <optional>

namespace kestrel::sim
{

// One program message unit: "HEADER[?] [PARAM[,PARAM]...]".
struct ScpiUnit {
    QByteArray header; // as sent, without the '?' of a query
    bool query = false;
    QList<QByteArray> params; // white space around each removed
};

ScpiUnit parseUnit(QByteArrayView text);

// A line may hold several units separated by ';'. Blank units are dropped.
QList<QByteArray> splitUnits(QByteArrayView line);

// A command header written the way instrument manuals do: upper case is the short
// form, the whole word the long form, either accepted in any letter case;
// "[...]" marks an optional node and '#' a channel number that may be left out
// (only channel 1 exists). "[SOURce#]:APPLy:DC" matches ":SOUR1:APPL:DC",
// "APPLy:dc" and ":source:apply:DC", but not ":SOURC:APPL:DC" or ":SOUR2:APPL:DC".
// Common commands are matched whole: "*IDN".
class HeaderPattern
{
  public:
    explicit HeaderPattern(QByteArrayView pattern);
    bool matches(QByteArrayView header) const;

  private:
    struct Node {
        QByteArray longForm; // upper case
        QByteArray shortForm;
        bool optional = false;
        bool numbered = false;
    };
    struct Keyword {
        QByteArray word; // upper case
        QByteArray suffix;
    };
    bool matchFrom(qsizetype node, const QList<Keyword>& keywords, qsizetype keyword) const;
    static bool nodeMatches(const Node& node, const Keyword& keyword);

    QByteArray common_; // "*IDN" for a common command, else empty
    QList<Node> nodes_;
};

// Parameter readers; nullopt when the text is not of that kind.
std::optional<double> numberParameter(const QByteArray& text);
std::optional<bool> booleanParameter(const QByteArray& text); // ON, OFF, 1, 0

} // namespace kestrel::sim
