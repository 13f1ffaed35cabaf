// Runs inside a throwaway device root. The recovery of a database that fails
// to open is tried at most once per process, so the main process of this test
// never opens a database: each case runs in a forked process of its own.
#include "rpmdb/dbdata.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <rpm/rpmlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rpmtesting.h"
#include "testing/testing.h"

using namespace updater;
using updater::testing::HeaderBuilder;
using updater::testing::importHeaders;
using updater::testing::Macro;
using updater::testing::readFile;
using updater::testing::runInChild;
using updater::testing::splitLines;
using updater::testing::TemporaryDirectory;
using updater::testing::writeFile;

namespace {

const std::string DBPATH = "/var/lib/rpm";
const std::string ATTEMPT = "WARNING: rpm DB opening failed and using BDB, attempting recovery";
const std::string RECOVERED = "INFO: rpm DB recovery successful, reopening rpm DB";
const std::string RECOVERY_FAILED = "ERROR: rpm DB BDB recovery failed";
const std::string OPEN_FAILED = "ERROR: failed opening rpm DB";

// The child's log from info level up, with "open succeeded" / "open failed"
// where openAndNote ran. rpm keeps what it allocated for a failed open: no
// leak check.
std::vector<std::string> inFreshProcess(const std::function<void()>& scenario)
{
    updater::testing::ChildRun run = runInChild(
        [&] {
            scenario();
            return true;
        },
        LogLevel::info, false);
    EXPECT_EQ(run.exitCode, 0);
    return run.log;
}

void openAndNote(RpmDB& db)
{
    bool opened = db.open(true);
    logMessage(LogLevel::info, "open %s", opened ? "succeeded" : "failed");
}

class Recovery : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0);
        importHeaders(DBPATH, {HeaderBuilder("one", "1.0", "1"), HeaderBuilder("two", "2.0", "1")});
    }
    void SetUp() override { brokenDatabase(m_broken, "Packages"); }

    // A db_recover in its own directory that records each call's arguments
    // as one line "[arg][arg]...", runs `action` and exits with `exitCode`.
    std::string recoverStandIn(int exitCode, const std::string& action = "")
    {
        writeFile(m_bin.file("db_recover"), "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done >> " +
                                                m_bin.file("calls") + "\necho >> " + m_bin.file("calls") + "\n" +
                                                action + "\nexit " + std::to_string(exitCode) + "\n");
        chmod(m_bin.file("db_recover").c_str(), 0755);
        return m_bin.path() + ":" + getenv("PATH");
    }
    std::vector<std::string> recoverCalls() const { return splitLines(readFile(m_bin.file("calls"))); }

    // Opens the broken Berkeley database `opens` times in a fresh process,
    // looking for db_recover along `path`; lists the packages after an open
    // that succeeds.
    std::vector<std::string> openBroken(const std::string& path, int opens = 1)
    {
        return inFreshProcess([&] {
            setenv("PATH", path.c_str(), 1);
            Macro backend("_db_backend", "bdb");
            Macro dbpath("_dbpath", m_broken.path());
            for (int i = 0; i < opens; ++i) {
                RpmDB db;
                openAndNote(db);
                if (db.isOpen()) {
                    auto installed = db.getInstalledPackages();
                    logMessage(LogLevel::info, "listed %zu", installed ? installed->size() : 0);
                }
            }
        });
    }

    // A database directory whose files no back end can open.
    static std::string brokenDatabase(const TemporaryDirectory& dir, const std::string& file)
    {
        writeFile(dir.file(file), std::string(8192, 'x'));
        return dir.path();
    }

    TemporaryDirectory m_bin;    // db_recover and its record of calls
    TemporaryDirectory m_broken; // a Berkeley DB "Packages" file no back end can read
};

TEST_F(Recovery, BerkeleyRecoveryRunsOnceInAProcess)
{
    EXPECT_EQ(openBroken(recoverStandIn(0), 2),
              (std::vector<std::string>{ATTEMPT, RECOVERED, OPEN_FAILED, "INFO: open failed", OPEN_FAILED,
                                        "INFO: open failed"}));
    EXPECT_EQ(recoverCalls(), std::vector<std::string>{"[-f][-v][-h][" + m_broken.path() + "]"});
}

TEST_F(Recovery, RecoveredDatabaseIsReopened)
{
    // The stand-in "repairs" the database by putting a good one in its place.
    const std::string path =
        recoverStandIn(0, "rm " + m_broken.path() + "/Packages && cp " + DBPATH + "/rpmdb.sqlite* " + m_broken.path());
    EXPECT_EQ(openBroken(path), (std::vector<std::string>{ATTEMPT, RECOVERED, "INFO: open succeeded", "INFO: listed 2"}));
    EXPECT_EQ(recoverCalls().size(), 1u);
}

TEST_F(Recovery, FailedOrMissingRecoveryFailsTheOpen)
{
    EXPECT_EQ(openBroken(recoverStandIn(1)),
              (std::vector<std::string>{ATTEMPT, RECOVERY_FAILED, OPEN_FAILED, "INFO: open failed"}));
    EXPECT_EQ(recoverCalls().size(), 1u);

    TemporaryDirectory emptyPath;
    EXPECT_EQ(openBroken(emptyPath.path()),
              (std::vector<std::string>{ATTEMPT, "INFO: db_recover output:",
                                        "INFO:   db_recover: No such file or directory", RECOVERY_FAILED, OPEN_FAILED,
                                        "INFO: open failed"}));
}

// db5.3's own db_recover accepts the arguments and succeeds on a directory
// without an environment; it cannot mend a damaged file, so the reopen fails.
TEST_F(Recovery, RealBerkeleyRecoveryProgram)
{
    ASSERT_EQ(symlink("/usr/bin/db5.3_recover", m_bin.file("db_recover").c_str()), 0);
    EXPECT_EQ(openBroken(m_bin.path()),
              (std::vector<std::string>{ATTEMPT, "INFO: db_recover output:", "INFO:   BDB2525 No log files found",
                                        RECOVERED, OPEN_FAILED, "INFO: open failed"}));
}

TEST_F(Recovery, NoRecoveryForOtherBackEnds)
{
    TemporaryDirectory sqlite;
    brokenDatabase(sqlite, "rpmdb.sqlite");
    auto log = inFreshProcess([&] {
        setenv("PATH", recoverStandIn(0).c_str(), 1);
        RpmDB db;
        {
            Macro dbpath("_dbpath", sqlite.path());
            openAndNote(db);
        }
        openAndNote(db); // a failed open leaves the object closed
    });
    EXPECT_EQ(log, (std::vector<std::string>{OPEN_FAILED, "INFO: open failed", "INFO: open succeeded"}));
    EXPECT_TRUE(recoverCalls().empty());
}

TEST_F(Recovery, NoRecoveryOnceADatabaseOpened)
{
    auto log = inFreshProcess([&] {
        setenv("PATH", recoverStandIn(0).c_str(), 1);
        Macro backend("_db_backend", "bdb");
        RpmDB good;
        openAndNote(good);
        Macro dbpath("_dbpath", m_broken.path());
        RpmDB bad;
        openAndNote(bad);
    });
    EXPECT_EQ(log, (std::vector<std::string>{"INFO: open succeeded", OPEN_FAILED, "INFO: open failed"}));
    EXPECT_TRUE(recoverCalls().empty());
}

} // namespace
