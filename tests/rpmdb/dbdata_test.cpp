// The installed packages as RpmDB lists them from a database of their own in
// a device root (the signature tests add keys to /var/lib/rpm), filled by rpm from the unit data's packages and from headers made
// where rpmbuild cannot make them.
#include "rpmdb/dbdata.h"

#include <rpm/rpmds.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmtag.h>

#include "rpmtesting.h"

namespace updater::testing {
namespace {

const char* const DBPATH = "/var/lib/rpm-listing";

class RpmDatabase : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0);
        runCommand(std::string("rpmdb --initdb --dbpath ") + DBPATH);
        const std::string install =
            std::string("rpm -i --justdb --nodeps --nosignature --dbpath ") + DBPATH + " " + unitData("packages/");
        runCommand(install + "alpha-1.0-1.noarch.rpm " + unitData("packages/beta-2.5-4.noarch.rpm ") +
                   unitData("packages/bigepoch-1.0-1.noarch.rpm ") + unitData("packages/zeroepoch-1.0-1.noarch.rpm"));
        // One name twice, the newer first: the listing keeps database order.
        runCommand(install + "twin-2.0-1.noarch.rpm");
        runCommand(install + "twin-1.0-1.noarch.rpm --oldpackage");
        // What rpmbuild cannot make: no requires tags at all, a provide with
        // flags but an empty version, a missing-ok require.
        importHeaders(DBPATH,
                      {HeaderBuilder("crafted", "1.0", "1")
                           .provides({"crafted", "eq-empty"}, {RPMSENSE_EQUAL, RPMSENSE_EQUAL}, {"1.0-1", ""}),
                       HeaderBuilder("hinting", "1.0", "1").requires_({"hinted", "real"}, {RPMSENSE_MISSINGOK, 0}, {"", ""})});
    }

    Macro m_dbpath{"_dbpath", DBPATH};
};

TEST_F(RpmDatabase, ListsWhatRpmInstalledAsRpmRecordedIt)
{
    for (bool skipHeaderChecks : {true, false}) {
        SCOPED_TRACE(skipHeaderChecks);
        RpmDB db;
        ASSERT_TRUE(db.open(skipHeaderChecks));
        auto installed = db.getInstalledPackages();
        ASSERT_TRUE(installed);
        EXPECT_EQ(labels(*installed),
                  (std::vector<std::string>{"alpha-0:1.0-1", "beta-3:2.5-4", "bigepoch-70000:1.0-1", "crafted-0:1.0-1",
                                            "hinting-0:1.0-1", "twin-0:2.0-1", "twin-0:1.0-1", "zeroepoch-0:1.0-1"}));
        // A second walk gives the same: the transaction's caches were emptied.
        EXPECT_EQ(db.getInstalledPackages()->size(), 8u);
    }
    RpmDB db;
    ASSERT_TRUE(db.open(true));
    auto installed = db.getInstalledPackages();
    auto requires_ = [&](const char* name) { return texts(installed->find(name)->second.requires_); };
    auto provides = [&](const char* name) { return texts(installed->find(name)->second.provides); };
    // rpmlib() requires are gone, the rich dependency stays the text rpm
    // recorded, Recommends is not a require.
    EXPECT_EQ(requires_("alpha"), (std::vector<std::string>{"(delta or epsilon)", "beta >= 0:2.0", "gamma"}));
    EXPECT_EQ(provides("alpha"), (std::vector<std::string>{"alpha = 0:1.0-1", "alpha-cap = 0:3.1-2", "plain-cap"}));
    EXPECT_TRUE(requires_("beta").empty());
    EXPECT_EQ(provides("beta"), (std::vector<std::string>{"beta = 3:2.5-4", "beta-compat = 1:2.0"}));
    EXPECT_EQ(requires_("bigepoch"), std::vector<std::string>{"beta < 1:0"});
    EXPECT_EQ(requires_("hinting"), std::vector<std::string>{"real"});
    EXPECT_TRUE(requires_("crafted").empty());
    const Package& crafted = installed->find("crafted")->second;
    auto eqEmpty = crafted.provides.firstOfName("eq-empty");
    ASSERT_NE(eqEmpty, crafted.provides.end());
    EXPECT_TRUE(eqEmpty->evr.version.empty());
    EXPECT_EQ(eqEmpty->flags, EQUAL);
}

TEST_F(RpmDatabase, OpenFailuresAndEmptyDatabases)
{
    RpmDB closed;
    LogCapture capture;
    EXPECT_FALSE(closed.getInstalledPackages());
    EXPECT_TRUE(capture.has("ERROR: failed initializing rpm DB iterator"));

    RpmDB db;
    ASSERT_TRUE(db.open(true));
    EXPECT_FALSE(db.open(false));
    EXPECT_TRUE(capture.has("ERROR: attempted to reopen an opened RpmDB"));
    EXPECT_TRUE(db.isOpen());

    TemporaryDirectory dir;
    importHeaders(dir.path(), {});
    Macro dbpath("_dbpath", dir.path());
    RpmDB empty;
    ASSERT_TRUE(empty.open(true));
    auto installed = empty.getInstalledPackages();
    ASSERT_TRUE(installed);
    EXPECT_TRUE(installed->empty());
}

// A readable package first, then one that cannot be read completely: the
// listing gives nothing rather than a partial view of the system.
TEST_F(RpmDatabase, AnUnreadableHeaderDiscardsTheWholeList)
{
    struct Case { HeaderBuilder bad; std::vector<std::string> errors; } cases[] = {
        {HeaderBuilder("noversions", "1.0", "1").strings(RPMTAG_REQUIRENAME, {"a"}).int32(RPMTAG_REQUIREFLAGS, {0}),
         {"ERROR: failed retrieving rpm dependencies", "ERROR: failed getting requires for package 'noversions'"}},
        {HeaderBuilder("badprovides", "1.0", "1").provides({"a", "b"}, {0, 0}, {""}),
         {"ERROR: failed retrieving rpm dependencies", "ERROR: failed getting provides for package 'badprovides'"}},
        {HeaderBuilder().string(RPMTAG_NAME, "norelease").string(RPMTAG_VERSION, "1.0"),
         {"ERROR: failed retrieving rpm tag 1002 as string", "ERROR: failed while iterating on rpm DB"}},
    };
    for (const Case& c : cases) {
        TemporaryDirectory dir;
        importHeaders(dir.path(), {HeaderBuilder("good", "1.0", "1").requires_({"x"}, {0}, {""}), c.bad});
        Macro dbpath("_dbpath", dir.path());
        RpmDB db;
        ASSERT_TRUE(db.open(true));
        LogCapture capture(LogLevel::info);
        EXPECT_FALSE(db.getInstalledPackages());
        EXPECT_EQ(capture.lines(), c.errors);
    }
}

} // namespace
} // namespace updater::testing
