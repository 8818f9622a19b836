#include "data/profilecatalog.h"
#include "testhome.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrel;

namespace
{

// A profile that loads, for the mistakes to be made in.
const QByteArray goodSource = R"(description = "A supply"
manual = "Its guide"
identity = "^ACME,PS1,"
roles = ["source"]

[source]
level = "VOLT {volts}"
on = "OUTP ON"
off = "OUTP OFF"
state = "OUTP?"
limit = "CURR {amps}"
default_limit = 0.01
)";

} // namespace

class TestProfiles : public QObject
{
    Q_OBJECT

  private slots:
    // Each test's own $XDG_CONFIG_HOME, for the user's profiles.
    void init()
    {
        config_.emplace();
        qputenv("XDG_CONFIG_HOME", config_->path().toUtf8());
    }
    void builtInProfilesKnowTheirInstruments_data();
    void builtInProfilesKnowTheirInstruments();
    void mistakesAreNamedWhereTheyAre_data();
    void mistakesAreNamedWhereTheyAre();
    void aUserFileReplacesTheBuiltInOne();
    void aSweepWithABrokenProfileSendsNothing();

  private:
    QString profilePath(const QString& name) const
    {
        return config_->path() + "/kestrel/instruments/" + name + ".toml";
    }
    std::optional<QTemporaryDir> config_;
};

// Each *IDN? answer is the example of its instrument's manual; an answer of an
// instrument no built-in profile is for matches none, and the default profile takes it.
void TestProfiles::builtInProfilesKnowTheirInstruments_data()
{
    QTest::addColumn<QString>("idn");
    QTest::addColumn<QString>("profile"); // empty: none of the built-in ones
    QTest::addColumn<QStringList>("roles");
    const QStringList smu{"source", "meter"}, source{"source"}, meter{"meter"};
    const auto row = [](const char* name, const char* idn, const char* profile = "",
                        const QStringList& roles = {}) {
        QTest::newRow(name) << QString(idn) << QString(profile) << roles;
    };
    row("2400", "KEITHLEY INSTRUMENTS INC.,MODEL 2400,1398702,C30   Mar 17 2006 09:29:29/A02  /K/J",
        "keithley-2400", smu);
    row("2410", "KEITHLEY INSTRUMENTS INC.,MODEL 2410,4082611,C33   Mar 31 2015 09:32:39/A02  /J/H",
        "keithley-2400", smu);
    row("2450", "KEITHLEY INSTRUMENTS,MODEL 2450,04096218,1.6.4c", "keithley-2450", smu);
    row("B2902A", "Keysight Technologies,B2902A,MY51141234,3.4.2011.5100", "keysight-b2900", smu);
    row("B2901A Agilent", "Agilent Technologies,B2901A,MY12345678,1.0.1128.6258", "keysight-b2900",
        smu);
    row("E36312A", "Keysight Technologies,E36312A,MY12345678,1.0.4-1.0.0-1.00", "keysight-e36300",
        source);
    row("SPD3303X", "Siglent Technologies,SPD3303X,SPD3XIDQ5R0001,1.01.01.02.05,V3.0",
        "siglent-spd", source);
    row("SPD3303X-E", "Siglent Technologies,SPD3303X-E,SPD3XIDX5R0002,1.01.01.02.07R2,V3.0",
        "siglent-spd", source);
    row("34461A", "Keysight Technologies,34461A,MY53220001,A.02.14-02.40-02.14-00.49-03-01",
        "keysight-344xx", meter);
    row("34460A Agilent", "Agilent Technologies,34460A,MY53000001,A.02.14-02.40-02.14-00.49-03-01",
        "keysight-344xx", meter);
    row("DMM6500", "KEITHLEY INSTRUMENTS,MODEL DMM6500,04401234,1.0.04b", "keithley-dmm6500",
        meter);
    row("2460 is not a 2450", "KEITHLEY INSTRUMENTS,MODEL 2460,04411234,1.6.7c");
    row("E3631A is not an E36300", "HEWLETT-PACKARD,E3631A,0,2.1-5.0-1.0");
    row("34401A", "HEWLETT-PACKARD,34401A,0,11-5-2");
}

void TestProfiles::builtInProfilesKnowTheirInstruments()
{
    QFETCH(QString, idn);
    QFETCH(QString, profile);
    QFETCH(QStringList, roles);
    const ProfileCatalog catalog = loadProfiles({kestrelSourcePath("instruments")});
    if (!catalog.errors.empty())
        QFAIL(qPrintable(catalog.errors.front().text()));
    QStringList matching;
    for (const ProfilePtr& p : catalog.profiles)
        if (p->name != defaultProfileName && p->identity.match(idn).hasMatch())
            matching << p->name;
    QCOMPARE(matching, profile.isEmpty() ? QStringList() : QStringList{profile});
    QCOMPARE(catalog.match(idn)->name, profile.isEmpty() ? defaultProfileName : profile);
    if (profile.isEmpty())
        return;
    const ProfilePtr p = catalog.find(profile);
    QCOMPARE(p->roleNames(), roles);
    // Only one instrument that does both is a source-measure unit.
    QCOMPARE(p->smu, roles.size() == 2);
    QVERIFY(p->identity.pattern().startsWith('^'));
    QVERIFY(!p->manual.isEmpty());
    // A source with no limit from the user is held at one within what it can give.
    if (p->canSource)
        QVERIFY(p->defaultLimitAmps && *p->defaultLimitAmps > 0 &&
                (p->maxLimitAmps == 0 || *p->defaultLimitAmps <= p->maxLimitAmps));
}

void TestProfiles::mistakesAreNamedWhereTheyAre_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("problem");
    const auto row = [](const char* name, const char* from, const char* to, int line,
                        const char* field, const char* problem) {
        QTest::newRow(name) << QByteArray(from) << QByteArray(to) << line << QString(field)
                            << QString(problem);
    };
    row("unknown placeholder", "level = \"VOLT {volts}\"", "level = \"VOLT {volt}\"", 7,
        "source.level", "unknown placeholder {volt} (this command may hold {channel}, {volts})");
    row("placeholder of another command", "on = \"OUTP ON\"", "on = \"OUTP ON {amps}\"", 8,
        "source.on", "unknown placeholder {amps}");
    row("missing command", "off = \"OUTP OFF\"\n", "", 6, "source.off",
        "is missing: a source switches its output off with it");
    row("missing state", "state = \"OUTP?\"\n", "", 6, "source.state",
        "is missing: without it nobody can confirm that the output is off");
    row("pattern that does not compile", "identity = \"^ACME,PS1,\"", "identity = \"^ACME,(PS1\"",
        3, "identity", "is not a regular expression: missing closing parenthesis at character 10");
    row("unknown key", "\nlimit =", "\nlimt =", 11, "source.limt", "is not a field a profile has");
    row("unknown table", "[source]", "[sorce]", 6, "sorce", "is not a field a profile has");
    row("number in quotes", "default_limit = 0.01", "default_limit = \"0.01\"", 12,
        "source.default_limit", "must be a number");
    row("roles not a list", "roles = [\"source\"]", "roles = \"source\"", 4, "roles",
        "must be a list of texts");
    row("compliance bit of no field", "default_limit = 0.01",
        "default_limit = 0.01\ncompliance = { field = 5 }", 13, "source.compliance",
        "a field of the reading needs a bit");
    row("a source-measure unit that does not measure", "roles = [\"source\"]",
        "roles = [\"source\"]\nsmu = true", 5, "smu",
        "a source-measure unit has both roles, source and meter");
}

// Every mistake is a message naming the file, the line and the field, so the user can
// go straight to it.
void TestProfiles::mistakesAreNamedWhereTheyAre()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(int, line);
    QFETCH(QString, field);
    QFETCH(QString, problem);
    QVERIFY(std::holds_alternative<InstrumentProfile>(parseProfile(goodSource, "good.toml")));
    QByteArray text = goodSource;
    QVERIFY(text.contains(from));
    text.replace(from, to);
    const auto read = parseProfile(text, "/lab/supply.toml");
    QVERIFY(std::holds_alternative<ProfileError>(read));
    const ProfileError& error = std::get<ProfileError>(read);
    QCOMPARE(error.line, line);
    QCOMPARE(error.field, field);
    QVERIFY2(error.problem.startsWith(problem), qPrintable(error.problem));
    QVERIFY2(error.text().startsWith(
                 QString("/lab/supply.toml, line %1, field %2: ").arg(line).arg(field)),
             qPrintable(error.text()));
}

// The user's file of a built-in name is used instead of it; a user's file that cannot be
// read is never quietly replaced by the built-in one.
void TestProfiles::aUserFileReplacesTheBuiltInOne()
{
    QByteArray own = goodSource;
    own.replace("A supply", "My own 2400");
    writeFile(profilePath("keithley-2400"), own);
    QByteArray broken = goodSource;
    broken.replace("OUTP ON", "OUTP ON {level}");
    writeFile(profilePath("keysight-e36300"), broken);

    const ProfileCatalog catalog = loadProfiles();
    const ProfilePtr replaced = catalog.find("keithley-2400");
    QVERIFY(replaced);
    QCOMPARE(replaced->description, QString("My own 2400"));
    QCOMPARE(replaced->file, profilePath("keithley-2400"));
    QVERIFY(catalog.find("keithley-2450")); // the others stay

    QVERIFY(!catalog.find("keysight-e36300"));
    QCOMPARE(catalog.errors.size(), std::size_t(1));
    QCOMPARE(catalog.errors.front().file, profilePath("keysight-e36300"));
    const auto refused = profileForRole(catalog, "keysight-e36300", "source");
    QVERIFY(std::holds_alternative<QString>(refused));
    QCOMPARE(
        std::get<QString>(refused),
        QString("The instrument profile keysight-e36300 cannot be used: " +
                profilePath("keysight-e36300") +
                ", line 8, field source.on: unknown placeholder {level} (this command may hold "
                "{channel})"));
}

// A profile that cannot be read ends kestrel-sweep before any command goes out.
void TestProfiles::aSweepWithABrokenProfileSendsNothing()
{
    QByteArray broken = goodSource;
    broken.replace("[source]", "[source]\nsetup = [\"*RST\", 5]");
    writeFile(profilePath("broken-supply"), broken);
    TestHome home;
    const QString log = home.pat() + "sent.log";
    home.installScript(QString("#!/bin/sh\necho \"$@\" >> '%1'\n").arg(log).toUtf8());

    const ToolRun run = runTool(kestrelToolPath("sweep/kestrel-sweep"),
                                {"--source", "127.0.0.1:5025", "--meter", "127.0.0.1:5026",
                                 "--home", home.path(), "--start", "0", "--stop", "1", "--steps",
                                 "2", "--source-profile", "broken-supply", "--no-store"});
    QCOMPARE(run.exitCode, 2);
    const QString expected = QString("The instrument profile broken-supply cannot be used: ") +
                             profilePath("broken-supply") +
                             ", line 7, field source.setup: must be a list of texts, none empty";
    QVERIFY2(QString::fromUtf8(run.err).contains(expected), run.err.constData());
    QVERIFY2(!QFile::exists(log), "a command was sent");
}

QTEST_GUILESS_MAIN(TestProfiles)
#include "tst_profiles.moc"
