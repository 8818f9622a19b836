#include "scpi/vxi11link.h"

namespace kestrel::scpi
{

Exchange vxi11Exchange(const Target&, const Options&)
{
    return Exchange{{}, "VXI-11 is not built in yet"};
}

} // namespace kestrel::scpi
