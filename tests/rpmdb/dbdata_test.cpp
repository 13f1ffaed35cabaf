// Runs inside a throwaway device root: /var/lib/rpm is filled by rpm itself
// from packages built by rpmbuild (build-packages.sh) and from headers made
// by the test where rpmbuild cannot make them. The recovery after a failed
// open, which happens once per process, is tested in dbrecovery_test.
#include "rpmdb/dbdata.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <rpm/rpmds.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmtag.h>

#include "rpmtesting.h"
#include "testing/testing.h"

using namespace updater;
using updater::testing::HeaderBuilder;
using updater::testing::importHeaders;
using updater::testing::labels;
using updater::testing::LogCapture;
using updater::testing::Macro;
using updater::testing::runCommand;
using updater::testing::splitLines;
using updater::testing::TemporaryDirectory;
using updater::testing::texts;

namespace {

const std::string PACKAGES = RPMDB_TEST_PACKAGES;
const std::string DBPATH = "/var/lib/rpm";

HeaderBuilder requiresOnly(const std::string& name, const std::vector<std::string>& names,
                           const std::vector<uint32_t>& flags, const std::vector<std::string>& versions)
{
    return HeaderBuilder(name, "1.0", "1")
        .dependencies(RPMTAG_REQUIRENAME, RPMTAG_REQUIREFLAGS, RPMTAG_REQUIREVERSION, names, flags, versions);
}

const Package* find(const PackageCollection& packages, std::string_view name)
{
    auto it = packages.find(name);
    return it == packages.end() ? nullptr : &it->second;
}

class RpmDatabase : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0);
        const std::string install = "rpm -i --justdb --nodeps --nosignature " + PACKAGES + "/";
        runCommand(install + "alpha-1.0-1.noarch.rpm " + PACKAGES + "/beta-2.5-4.noarch.rpm " + PACKAGES +
              "/bigepoch-1.0-1.noarch.rpm " + PACKAGES + "/zeroepoch-1.0-1.noarch.rpm");
        // One name twice, the newer first: the listing keeps database order.
        runCommand(install + "twin-2.0-1.noarch.rpm");
        runCommand("rpm -i --justdb --nodeps --nosignature --oldpackage " + PACKAGES + "/twin-1.0-1.noarch.rpm");
        // What rpmbuild 4.18 cannot make: no requires tags at all, a provide
        // with flags but an empty version, a missing-ok require.
        importHeaders(DBPATH,
                      {HeaderBuilder("crafted", "1.0", "1")
                           .dependencies(RPMTAG_PROVIDENAME, RPMTAG_PROVIDEFLAGS, RPMTAG_PROVIDEVERSION,
                                         {"crafted", "eq-empty"}, {RPMSENSE_EQUAL, RPMSENSE_EQUAL}, {"1.0-1", ""}),
                       requiresOnly("hinting", {"hinted", "real"}, {RPMSENSE_MISSINGOK, 0}, {"", ""})});
    }
};

TEST_F(RpmDatabase, ListsWhatRpmInstalled)
{
    for (bool skipHeaderChecks : {true, false}) {
        SCOPED_TRACE(skipHeaderChecks);
        LogCapture capture;
        RpmDB db;
        ASSERT_TRUE(db.open(skipHeaderChecks));
        EXPECT_TRUE(capture.has(skipHeaderChecks ? "DEBUG: opened rpm transaction (NOT checking headers)"
                                                 : "DEBUG: opened rpm transaction (checking headers)"));
        auto installed = db.getInstalledPackages();
        ASSERT_TRUE(installed);
        EXPECT_EQ(labels(*installed),
                  (std::vector<std::string>{"alpha-0:1.0-1", "beta-3:2.5-4", "bigepoch-70000:1.0-1", "crafted-0:1.0-1",
                                            "hinting-0:1.0-1", "twin-0:2.0-1", "twin-0:1.0-1",
                                            "zeroepoch-0:1.0-1"}));
        EXPECT_TRUE(capture.has("TRACE: getting dependencies for package 'alpha'"));
        EXPECT_TRUE(capture.has("TRACE: prereq 1.5-2 0x208 => prereq = 0:1.5-2"));
    }
}

TEST_F(RpmDatabase, RequiresAndProvidesAsRpmRecordedThem)
{
    RpmDB db;
    ASSERT_TRUE(db.open(true));
    auto installed = db.getInstalledPackages();
    ASSERT_TRUE(installed);

    const Package* alpha = find(*installed, "alpha");
    ASSERT_TRUE(alpha);
    // rpmlib() requires are gone, Requires(pre) keeps only its sense, the rich
    // dependency stays the text rpm recorded, Recommends is not a require.
    EXPECT_EQ(texts(alpha->requires_),
              (std::vector<std::string>{"(delta or epsilon)", "beta >= 0:2.0", "gamma", "prereq = 0:1.5-2"}));
    EXPECT_EQ(texts(alpha->provides), (std::vector<std::string>{"alpha = 0:1.0-1", "alpha-cap = 0:3.1-2", "plain-cap"}));
    EXPECT_TRUE(alpha->group.empty());
    EXPECT_TRUE(alpha->obsoletes.empty());
    EXPECT_TRUE(alpha->location.empty());

    EXPECT_TRUE(find(*installed, "beta")->requires_.empty()); // only rpmlib() requires
    EXPECT_EQ(texts(find(*installed, "beta")->provides),
              (std::vector<std::string>{"beta = 3:2.5-4", "beta-compat = 1:2.0"}));
    EXPECT_EQ(texts(find(*installed, "bigepoch")->requires_), std::vector<std::string>{"beta < 1:0"});
    EXPECT_EQ(texts(find(*installed, "hinting")->requires_), std::vector<std::string>{"real"});

    const Package* crafted = find(*installed, "crafted");
    ASSERT_TRUE(crafted);
    EXPECT_TRUE(crafted->requires_.empty());
    auto eqEmpty = crafted->provides.firstOfName("eq-empty");
    ASSERT_NE(eqEmpty, crafted->provides.end());
    EXPECT_TRUE(eqEmpty->evr.version.empty());
    EXPECT_EQ(eqEmpty->flags, EQUAL);

    auto twins = installed->equal_range("twin");
    ASSERT_EQ(std::distance(twins.first, twins.second), 2);
    for (auto it = twins.first; it != twins.second; ++it)
        EXPECT_EQ(texts(it->second.requires_), std::vector<std::string>{"beta"});
}

// What "rpm -qa" lists, one "name-epoch:version-release" a line, in database order.
std::vector<std::string> rpmQueryAll(const std::string& options)
{
    return splitLines(runCommand("rpm -qa --qf '%{name}-%{epochnum}:%{version}-%{release}\\n' " + options));
}

// rpm 4.18 reads Berkeley DB databases (read-only, back end "bdb_ro"): the
// same packages moved into a Berkeley DB "Packages" file by db5.3's db_load.
// Its database order is the hash order, so both twins are there in the
// order rpm itself lists them.
TEST_F(RpmDatabase, ReadsABerkeleyDatabase)
{
    TemporaryDirectory dir;
    runCommand(std::string("rpmdb --exportdb | " BDB_LOAD_TEXT " | db5.3_load -T -t hash ") + dir.file("Packages"));
    Macro backend("_db_backend", "bdb");
    Macro dbpath("_dbpath", dir.path());
    RpmDB db;
    ASSERT_TRUE(db.open(true));
    auto installed = db.getInstalledPackages();
    ASSERT_TRUE(installed);

    std::vector<std::string> expected = rpmQueryAll("--dbpath " + dir.path() + " --define '_db_backend bdb'");
    std::stable_sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) {
        return a.substr(0, a.find('-')) < b.substr(0, b.find('-'));
    });
    EXPECT_EQ(expected.size(), 8u);
    EXPECT_EQ(labels(*installed), expected);
    EXPECT_EQ(texts(find(*installed, "bigepoch")->requires_), std::vector<std::string>{"beta < 1:0"});
}

TEST_F(RpmDatabase, SecondOpenFailsAndKeepsTheFirst)
{
    RpmDB db;
    ASSERT_TRUE(db.open(true));
    LogCapture capture;
    EXPECT_FALSE(db.open(false));
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"ERROR: attempted to reopen an opened RpmDB"});
    EXPECT_TRUE(db.isOpen());
    auto installed = db.getInstalledPackages();
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->size(), 8u);
    // The transaction's caches were emptied after the first walk; a second walks again.
    installed = db.getInstalledPackages();
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->size(), 8u);
}

TEST_F(RpmDatabase, ClosedDatabaseListsNothing)
{
    RpmDB db;
    LogCapture capture;
    EXPECT_FALSE(db.getInstalledPackages());
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"ERROR: failed initializing rpm DB iterator"});
}

TEST_F(RpmDatabase, EmptyDatabaseIsAnEmptyList)
{
    TemporaryDirectory dir;
    importHeaders(dir.path(), {});
    Macro dbpath("_dbpath", dir.path());
    RpmDB db;
    ASSERT_TRUE(db.open(true));
    auto installed = db.getInstalledPackages();
    ASSERT_TRUE(installed);
    EXPECT_TRUE(installed->empty());
}

// A readable package first, then one that cannot be read completely: the
// listing gives nothing rather than a partial view of the system.
TEST_F(RpmDatabase, AnUnreadableHeaderDiscardsTheWholeList)
{
    struct Case {
        HeaderBuilder bad;
        std::vector<std::string> errors;
    } cases[] = {
        {HeaderBuilder("noversions", "1.0", "1").strings(RPMTAG_REQUIRENAME, {"a"}).int32(RPMTAG_REQUIREFLAGS, {0}),
         {"ERROR: failed retrieving rpm dependencies", "ERROR: failed getting requires for package 'noversions'"}},
        {HeaderBuilder("badprovides", "1.0", "1")
             .dependencies(RPMTAG_PROVIDENAME, RPMTAG_PROVIDEFLAGS, RPMTAG_PROVIDEVERSION, {"a", "b"}, {0, 0}, {""}),
         {"ERROR: failed retrieving rpm dependencies", "ERROR: failed getting provides for package 'badprovides'"}},
        {HeaderBuilder().string(RPMTAG_NAME, "norelease").string(RPMTAG_VERSION, "1.0"),
         {"ERROR: failed retrieving rpm tag 1002 as string", "ERROR: failed while iterating on rpm DB"}},
    };
    for (const Case& c : cases) {
        TemporaryDirectory dir;
        importHeaders(dir.path(), {requiresOnly("good", {"x"}, {0}, {""}), c.bad});
        Macro dbpath("_dbpath", dir.path());
        RpmDB db;
        ASSERT_TRUE(db.open(true));
        LogCapture capture(LogLevel::info);
        EXPECT_FALSE(db.getInstalledPackages());
        EXPECT_EQ(capture.lines(), c.errors);
    }
}

} // namespace
