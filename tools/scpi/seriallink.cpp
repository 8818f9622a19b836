#include "scpi/seriallink.h"

namespace kestrel::scpi
{

Exchange serialExchange(const Target&, const Options&)
{
    return Exchange{{}, "serial is not built in yet"};
}

} // namespace kestrel::scpi
