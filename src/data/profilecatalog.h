#pragma once

#include "data/instrumentprofile.h"

#include <QStringList>

#include <memory>
#include <vector>

namespace kestrel
{

using ProfilePtr = std::shared_ptr<const InstrumentProfile>;

inline const QString defaultProfileName = QStringLiteral("default");

// The profiles a program can use: the built-in ones, each replaced by a file of the
// same name in the user's folder, and the user's own.
struct ProfileCatalog {
    std::vector<ProfilePtr> profiles; // by name
    std::vector<ProfileError> errors; // files that could not be used, by file name

    ProfilePtr find(const QString& name) const;
    // The profile whose identity pattern matches that *IDN? answer; the default
    // profile when no other does.
    ProfilePtr match(const QString& identity) const;
    // Why a profile of that name could not be read; null when it was read or none exists.
    const ProfileError* errorFor(const QString& name) const;
};

// The built-in profiles' folder: share/kestrel/instruments beside the installed
// program, or the source tree's for a program run from its build tree.
QString builtInProfileDirectory();
// ~/.config/kestrel/instruments (XDG_CONFIG_HOME when set).
QString userProfileDirectory();

// Reads every *.toml of the folders, a later folder's file replacing an earlier one
// of the same name.
ProfileCatalog loadProfiles(const QStringList& directories = {builtInProfileDirectory(),
                                                              userProfileDirectory()});

// The profile of that name, or the reason it cannot be had, for a role
// ("source" or "meter").
std::variant<ProfilePtr, QString> profileForRole(const ProfileCatalog& catalog, const QString& name,
                                                 const QString& role);

} // namespace kestrel
