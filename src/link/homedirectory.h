#pragma once

#include <QString>

namespace kestrel
{

// The current user's home folder without a trailing "/": the user database's
// entry, or $HOME when the database has none.
QString homeDirectory();

} // namespace kestrel
