#include "link/commandline.h"

namespace kestrel
{

QString shellQuote(const QString& text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString instrumentCommandLine(const QString& pat, const QString& address, const QString& port,
                              const QString& command)
{
    return shellQuote(pat + QLatin1String(scriptName)) + QLatin1Char(' ') + shellQuote(address) +
           QLatin1Char(' ') + shellQuote(port) + QLatin1Char(' ') + shellQuote(command);
}

} // namespace kestrel
