#include "scpi/usbtmclink.h"

namespace kestrel::scpi
{

Exchange usbtmcExchange(const Target&, const Options&)
{
    return Exchange{{}, "USBTMC is not built in yet"};
}

} // namespace kestrel::scpi
