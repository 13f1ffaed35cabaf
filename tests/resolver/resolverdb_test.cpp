// The resolver's set-up from a real rpm database, filled by rpm itself.
#include "resolver/resolver.h"

#include <rpm/rpmlib.h>
#include <rpm/rpmtag.h>

#include "rpmtesting.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

class ResolverDatabase : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0); }

    TemporaryDirectory m_dbpath;
};

TEST_F(ResolverDatabase, ReadsTheInstalledPackagesAndClosesTheDatabase)
{
    importHeaders(m_dbpath.path(),
                  {HeaderBuilder("twin", "2.0", "1"), HeaderBuilder("twin", "1.0", "1"),
                   HeaderBuilder("lib", "1.0", "1").provides({"libx"}, {RPMSENSE_EQUAL}, {"1.0"})});
    Macro dbpath("_dbpath", m_dbpath.path());
    for (bool checkDbHeaders : {false, true}) {
        SCOPED_TRACE(checkDbHeaders);
        Config config;
        config.checkDbHeaders = checkDbHeaders;
        Resolver resolver;
        ASSERT_TRUE(resolver.init(config));
        EXPECT_EQ(std::ranges::distance(resolver.findInstalled("twin")), 2);
        EXPECT_FALSE(resolver.updatesInstalled(Package(PooledString("twin"))));

        // The installed set stays as read; the database is not consulted again.
        LogCapture capture;
        EXPECT_FALSE(resolver.init(config));
        EXPECT_EQ(capture.lines(), std::vector<std::string>{"ERROR: attempted to reinitilize a resolver"});
        Package user(PooledString("user"));
        user.requires_.insert(Dependency(PooledString("libx"), Evr::parse("1.0"), GREATER | EQUAL));
        NewPackages newPackages;
        newPackages.try_emplace(user.name.view(), user);
        UnsatisfiedSet unsatisfied;
        EXPECT_TRUE(resolver.checkDependencies(newPackages, unsatisfied));
    }
}

// rpm keeps back-end memory of a failed open for the life of the process, so
// the failure runs in a child process without the leak check.
TEST_F(ResolverDatabase, AnUnopenableDatabaseFailsTheSetUp)
{
    writeFile(m_dbpath.file("rpmdb.sqlite"), std::string(8192, 'x'));
    ChildRun run = runInChild(
        [&] {
            Macro dbpath("_dbpath", m_dbpath.path());
            Resolver resolver;
            return !resolver.init(Config()) && !resolver.initialised();
        },
        LogLevel::error, false);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.text(), "ERROR: failed opening rpm DB\nERROR: failed opening rpm database\n");
}

} // namespace
} // namespace updater::testing
