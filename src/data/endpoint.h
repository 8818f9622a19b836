#pragma once

#include <QString>

namespace kestrel
{

// Where an instrument is reached: the address and port texts as the user typed them.
struct Endpoint {
    QString address;
    QString port;
    bool operator==(const Endpoint&) const = default;
};

QString endpointText(const Endpoint& endpoint); // "127.0.0.2:5555"

} // namespace kestrel
