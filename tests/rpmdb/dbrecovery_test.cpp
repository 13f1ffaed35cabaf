// The recovery of a Berkeley database that fails to open, tried at most once
// per process. Its tests run in a process that never opens a database in its
// main thread of control: each case runs in a forked process of its own.
#include "rpmdb/dbdata.h"

#include <cstdlib>
#include <rpm/rpmlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rpmtesting.h"

namespace updater::testing {
namespace {

const std::string ATTEMPT = "WARNING: rpm DB opening failed and using BDB, attempting recovery";
const std::string RECOVERED = "INFO: rpm DB recovery successful, reopening rpm DB";
const std::string RECOVERY_FAILED = "ERROR: rpm DB BDB recovery failed";
const std::string OPEN_FAILED = "ERROR: failed opening rpm DB";
const std::string NOT_OPENED = "INFO: open failed";

// The child's log from info level up, with "open succeeded" / "open failed"
// after each open and "listed N" after one that succeeded. rpm keeps what it
// allocated for a failed open: no leak check.
std::vector<std::string> inFreshProcess(const std::function<void()>& scenario)
{
    ChildRun run = runInChild([&] { return scenario(), true; }, LogLevel::info, false);
    EXPECT_EQ(run.exitCode, 0);
    return run.log;
}

void openAndNote(RpmDB& db)
{
    const bool opened = db.open(true);
    logMessage(LogLevel::info, "open %s", opened ? "succeeded" : "failed");
    if (opened) {
        auto installed = db.getInstalledPackages();
        logMessage(LogLevel::info, "listed %zu", installed ? installed->size() : 0);
    }
}

class Recovery : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0);
        importHeaders("/var/lib/rpm", {HeaderBuilder("one", "1.0", "1"), HeaderBuilder("two", "2.0", "1")});
    }
    void SetUp() override
    {
        std::filesystem::remove_all(m_broken.path());
        m_broken.write("Packages", std::string(8192, 'x'));
    }

    // A db_recover first on the search path that records each call's
    // arguments as one line "[arg][arg]...", runs `action` and exits with
    // `exitCode`; the search path.
    std::string recoverStandIn(int exitCode, const std::string& action = "")
    {
        m_bin.write("db_recover", "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done >> " +
                                      m_bin.file("calls") + "\necho >> " + m_bin.file("calls") + "\n" + action +
                                      "\nexit " + std::to_string(exitCode) + "\n");
        chmod(m_bin.file("db_recover").c_str(), 0755);
        return m_bin.path() + ":" + getenv("PATH");
    }
    std::vector<std::string> recoverCalls() const { return splitLines(readFile(m_bin.file("calls"))); }

    // Opens the broken Berkeley database `opens` times in a fresh process,
    // looking for db_recover along `path`.
    std::vector<std::string> openBroken(const std::string& path, int opens = 1)
    {
        return inFreshProcess([&] {
            setenv("PATH", path.c_str(), 1);
            Macro backend("_db_backend", "bdb");
            Macro dbpath("_dbpath", m_broken.path());
            for (int i = 0; i < opens; ++i) {
                RpmDB db;
                openAndNote(db);
            }
        });
    }

    TemporaryDirectory m_bin;    // db_recover and its record of calls
    TemporaryDirectory m_broken; // a Berkeley DB "Packages" file no back end can read
};

TEST_F(Recovery, BerkeleyRecoveryRunsOnceInAProcess)
{
    EXPECT_EQ(openBroken(recoverStandIn(0), 2),
              (std::vector<std::string>{ATTEMPT, RECOVERED, OPEN_FAILED, NOT_OPENED, OPEN_FAILED, NOT_OPENED}));
    EXPECT_EQ(recoverCalls(), std::vector<std::string>{"[-f][-v][-h][" + m_broken.path() + "]"});
}

TEST_F(Recovery, OutcomesOfTheRecoveryProgram)
{
    // exitCode: of the stand-in; -1: db5.3's own db_recover; -2: none on the path.
    const struct { const char* name; int exitCode; std::string action; std::vector<std::string> log; } cases[] = {
        // The stand-in "repairs" the database by putting a good one in its place.
        {"repaired", 0, "rm $4/Packages && cp /var/lib/rpm/rpmdb.sqlite* $4",
         {ATTEMPT, RECOVERED, "INFO: open succeeded", "INFO: listed 2"}},
        {"failed", 1, "", {ATTEMPT, RECOVERY_FAILED, OPEN_FAILED, NOT_OPENED}},
        {"missing", -2, "",
         {ATTEMPT, "INFO: db_recover output:", "INFO:   db_recover: No such file or directory", RECOVERY_FAILED,
          OPEN_FAILED, NOT_OPENED}},
        // db5.3's own program succeeds on a directory without an environment;
        // it cannot mend a damaged file, so the reopen fails.
        {"real", -1, "",
         {ATTEMPT, "INFO: db_recover output:", "INFO:   BDB2525 No log files found", RECOVERED, OPEN_FAILED,
          NOT_OPENED}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryDirectory empty;
        std::string path = empty.path();
        if (c.exitCode >= 0) {
            path = recoverStandIn(c.exitCode, c.action);
        } else if (c.exitCode == -1) {
            EXPECT_EQ(symlink("/usr/bin/db5.3_recover", empty.file("db_recover").c_str()), 0);
        }
        EXPECT_EQ(openBroken(path), c.log);
        SetUp();
    }
}

TEST_F(Recovery, NoRecoveryForOtherBackEndsOrOnceADatabaseOpened)
{
    TemporaryDirectory sqlite;
    sqlite.write("rpmdb.sqlite", std::string(8192, 'x'));
    auto log = inFreshProcess([&] {
        setenv("PATH", recoverStandIn(0).c_str(), 1);
        RpmDB db;
        {
            Macro dbpath("_dbpath", sqlite.path());
            openAndNote(db);
        }
        openAndNote(db); // a failed open leaves the object closed
        Macro backend("_db_backend", "bdb");
        Macro dbpath("_dbpath", m_broken.path());
        RpmDB bad;
        openAndNote(bad);
    });
    EXPECT_EQ(log, (std::vector<std::string>{OPEN_FAILED, NOT_OPENED, "INFO: open succeeded", "INFO: listed 2",
                                             OPEN_FAILED, NOT_OPENED}));
    EXPECT_TRUE(recoverCalls().empty());
}

} // namespace
} // namespace updater::testing
