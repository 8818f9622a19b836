#include "store/labsettings.h"

#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>

namespace kestrel
{

namespace
{

// libpq's keyword = 'value' form: a backslash and a quote escaped.
QString quoted(QString value)
{
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + value + QLatin1Char('\'');
}

const QString passwordRefusal = QStringLiteral(
    "the URI holds a password, which Kestrel neither stores nor shows: give the URI without it "
    "and put the password in ~/.pgpass (or the file PGPASSFILE names, or PGPASSWORD)");

} // namespace

std::unique_ptr<QSettings> sharedSettings()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("Kestrel"), QStringLiteral("Kestrel"));
}

QString benchName()
{
    const QString set = sharedSettings()->value(QLatin1String(benchKey)).toString().trimmed();
    return set.isEmpty() ? QSysInfo::machineHostName() : set;
}

std::variant<LabUri, QString> parseLabUri(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() ||
        (url.scheme() != QLatin1String("postgresql") && url.scheme() != QLatin1String("postgres")))
        return QStringLiteral("not a PostgreSQL connection URI (postgresql://USER@HOST:PORT/DB)");
    const QUrlQuery query(url);
    if (!url.password().isEmpty() || query.hasQueryItem(QStringLiteral("password")))
        return passwordRefusal;
    if (url.host().isEmpty())
        return QStringLiteral("the URI names no host (postgresql://USER@HOST:PORT/DB)");
    const QString database = url.path(QUrl::FullyDecoded).mid(1);
    QList<std::pair<QString, QString>> options{
        {QStringLiteral("host"), url.host(QUrl::FullyDecoded)},
        {QStringLiteral("port"), QString::number(url.port(5432))},
        {QStringLiteral("dbname"), database},
        {QStringLiteral("user"), url.userName(QUrl::FullyDecoded)},
        {QStringLiteral("connect_timeout"), QString::number(labConnectTimeoutS)},
        {QStringLiteral("keepalives_idle"), QString::number(labKeepaliveS)},
        {QStringLiteral("keepalives_interval"), QString::number(labKeepaliveS)},
        {QStringLiteral("keepalives_count"), QStringLiteral("2")},
        {QStringLiteral("tcp_user_timeout"), QString::number(labStatementTimeoutMs)},
        {QStringLiteral("application_name"), QStringLiteral("kestrel")}};
    // The URI's own options (sslmode, sslrootcert, ...) replace these.
    for (const auto& item : query.queryItems(QUrl::FullyDecoded)) {
        const QString& key = item.first;
        const QString& value = item.second;
        if (key == QLatin1String("host") || key == QLatin1String("hostaddr"))
            return QStringLiteral("give the host in the URI's host part, not as an option");
        const auto at = std::find_if(options.begin(), options.end(),
                                     [&key](const auto& option) { return option.first == key; });
        if (at != options.end())
            at->second = value;
        else
            options.append({key, value});
    }
    QString joined;
    for (const auto& [key, value] : options) {
        // Qt's driver turns every ';' of the options into a blank.
        if (key.contains(QLatin1Char(';')) || value.contains(QLatin1Char(';')) ||
            !key.contains(QRegularExpression(QStringLiteral("^[a-z_]+$"))))
            return QStringLiteral("the option '%1' cannot be passed on").arg(key);
        if (!value.isEmpty())
            joined += key + QLatin1Char('=') + quoted(value) + QLatin1Char(' ');
    }
    joined.chop(1);
    const QString host = url.host().contains(QLatin1Char(':'))
                             ? QLatin1Char('[') + url.host() + QLatin1Char(']')
                             : url.host();
    return LabUri{text, host + QLatin1Char(':') + QString::number(url.port(5432)), joined};
}

QString withoutPassword(const QString& uri)
{
    QUrl url(uri);
    url.setPassword(QString());
    QUrlQuery query(url);
    query.removeAllQueryItems(QStringLiteral("password"));
    url.setQuery(query);
    return url.toString();
}

std::variant<LabUri, QString> configuredLabUri()
{
    const QString uri = sharedSettings()->value(QLatin1String(labUriKey)).toString();
    if (uri.isEmpty())
        return LabUri{};
    return parseLabUri(uri);
}

} // namespace kestrel
