#include "link/homedirectory.h"

#include <QFile>

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace kestrel
{

QString homeDirectory()
{
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir && *entry->pw_dir)
        return QFile::decodeName(entry->pw_dir);
    if (const char* home = std::getenv("HOME"))
        return QFile::decodeName(home);
    return QString();
}

} // namespace kestrel
