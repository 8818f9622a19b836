#include "data/endpoint.h"

namespace kestrel
{

QString endpointText(const Endpoint& endpoint)
{
    return endpoint.address + QLatin1Char(':') + endpoint.port;
}

} // namespace kestrel
