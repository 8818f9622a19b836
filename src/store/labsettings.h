#pragma once

#include <QString>

#include <memory>
#include <variant>

class QSettings;

namespace kestrel
{

// The settings the window and the tools share (~/.config/Kestrel/Kestrel.conf).
std::unique_ptr<QSettings> sharedSettings();

// Keys of the lab store's settings.
inline constexpr char labUriKey[] = "lab/uri";
inline constexpr char benchKey[] = "lab/bench";

// This bench's name: the one set, else the host name.
QString benchName();

// A lab store's address, from a libpq connection URI
// (postgresql://USER@HOST:PORT/DB?sslmode=...).
struct LabUri {
    QString uri;     // as given; never holds a password
    QString where;   // "HOST:PORT", for messages
    QString options; // libpq's keyword=value text, with Kestrel's time limits added
};

// How long the lab store may keep a program waiting: the connection, one statement,
// and a network that stops answering mid-statement (TCP keepalives).
inline constexpr int labConnectTimeoutS = 5;
inline constexpr int labStatementTimeoutMs = 15000;
inline constexpr int labKeepaliveS = 5;
// A statement the server has not answered this long after it was sent (its own time
// limit and then some) ends Kestrel's side of the connection: a server that stopped
// answering, whose network still does, holds nobody up for longer.
inline constexpr int labAnswerLimitMs = labStatementTimeoutMs + 2000;
// How often a program listening for published runs asks whether the server is still
// there: a lost connection says nothing of itself.
inline constexpr int labWatchAskMs = 2000;
// The end of kestrel-sweep begins publishing runs for this long at most; a statement
// under way may add labAnswerLimitMs.
inline constexpr int labPublishBudgetMs = 10000;

// The URI as a lab store's address, or why it is not one. A URI holding a password is
// refused: passwords come from libpq's own sources (~/.pgpass, PGPASSFILE, PGPASSWORD),
// and Kestrel never writes or shows one.
std::variant<LabUri, QString> parseLabUri(const QString& uri);

// The URI with any password taken out, for showing a URI that did not come through
// parseLabUri.
QString withoutPassword(const QString& uri);

// The URI set in the shared settings: none (an empty URI), or the reason it is unusable.
std::variant<LabUri, QString> configuredLabUri();

} // namespace kestrel
