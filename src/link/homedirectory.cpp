#include "link/homedirectory.h"

#include <QFile>

#include <array>
#include <pwd.h>
#include <unistd.h>

namespace kestrel
{

QString homeDirectory()
{
    // The reentrant forms: the run store's threads ask too, while the window may.
    passwd entry{};
    passwd* found = nullptr;
    std::array<char, 16384> buffer{}; // far more than any entry takes
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir)
        return QFile::decodeName(found->pw_dir);
    return qEnvironmentVariable("HOME");
}

} // namespace kestrel
