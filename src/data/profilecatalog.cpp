#include "data/profilecatalog.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <map>

namespace kestrel
{

ProfilePtr ProfileCatalog::find(const QString& name) const
{
    for (const ProfilePtr& profile : profiles)
        if (profile->name == name)
            return profile;
    return nullptr;
}

ProfilePtr ProfileCatalog::match(const QString& identity) const
{
    for (const ProfilePtr& profile : profiles)
        if (profile->name != defaultProfileName && profile->identity.match(identity).hasMatch())
            return profile;
    return find(defaultProfileName);
}

const ProfileError* ProfileCatalog::errorFor(const QString& name) const
{
    for (const ProfileError& error : errors)
        if (QFileInfo(error.file).completeBaseName() == name)
            return &error;
    return nullptr;
}

QString builtInProfileDirectory()
{
    // The program's own folder, known before any application object exists (a tool
    // reads its options first).
    const QString here = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    for (const char* up : {"/../share/kestrel/instruments", "/../../share/kestrel/instruments"}) {
        QString installed = QDir::cleanPath(here + QLatin1String(up));
        if (!here.isEmpty() && QFileInfo(installed).isDir())
            return installed;
    }
    return QStringLiteral(KESTREL_PROFILE_SOURCE_DIR);
}

QString userProfileDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/kestrel/instruments");
}

ProfileCatalog loadProfiles(const QStringList& directories)
{
    std::map<QString, QString> files; // name -> path; a later folder wins
    for (const QString& directory : directories) {
        if (directory.isEmpty())
            continue;
        const QFileInfoList entries = QDir(directory).entryInfoList(
            {QStringLiteral("*.toml")}, QDir::Files | QDir::Readable, QDir::Name);
        for (const QFileInfo& entry : entries)
            files[entry.completeBaseName()] = entry.absoluteFilePath();
    }
    ProfileCatalog catalog;
    for (const auto& [name, path] : files) {
        auto read = readProfile(path);
        if (auto* error = std::get_if<ProfileError>(&read))
            catalog.errors.push_back(*error);
        else
            catalog.profiles.push_back(std::make_shared<const InstrumentProfile>(
                std::get<InstrumentProfile>(std::move(read))));
    }
    return catalog;
}

std::variant<ProfilePtr, QString> profileForRole(const ProfileCatalog& catalog, const QString& name,
                                                 const QString& role)
{
    if (const ProfileError* error = catalog.errorFor(name))
        return QStringLiteral("The instrument profile %1 cannot be used: %2")
            .arg(name, error->text());
    const ProfilePtr profile = catalog.find(name);
    if (!profile) {
        QStringList names;
        for (const ProfilePtr& p : catalog.profiles)
            names << p->name;
        return QStringLiteral("There is no instrument profile named %1 (there are: %2).")
            .arg(name, names.join(QStringLiteral(", ")));
    }
    const bool can = role == QLatin1String("source") ? profile->canSource : profile->canMeasure;
    if (!can)
        return QStringLiteral("The instrument profile %1 cannot be the %2: it is for a %3 (%4).")
            .arg(name, role, profile->roleNames().join(QStringLiteral(" and ")), profile->file);
    return profile;
}

} // namespace kestrel
