// Runs inside a throwaway device root. The recovery of a database that fails
// to open is tried at most once per process, so the main process of this test
// never opens a database: each case runs in a forked process of its own.
#include "rpmdb/dbdata.h"

#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <rpm/rpmlib.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "rpmtesting.h"
#include "testing/testing.h"

using namespace updater;
using updater::testing::HeaderBuilder;
using updater::testing::importHeaders;
using updater::testing::LogCapture;
using updater::testing::Macro;
using updater::testing::readFile;
using updater::testing::TemporaryDirectory;
using updater::testing::writeFile;

namespace {

const std::string DBPATH = "/var/lib/rpm";

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// A db_recover early on the search path that records each call's arguments
// as one line "[arg][arg]..." and exits with a chosen code.
class RecoverStandIn {
public:
    explicit RecoverStandIn(int exitCode, const std::string& action = "")
    {
        std::string script = "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done >> " + m_dir.file("calls") +
                             "\necho >> " + m_dir.file("calls") + "\n" + action + "\nexit " +
                             std::to_string(exitCode) + "\n";
        writeFile(m_dir.file("db_recover"), script);
        chmod(m_dir.file("db_recover").c_str(), 0755);
    }
    const std::string& directory() const { return m_dir.path(); }
    std::vector<std::string> calls() const { return splitLines(readFile(m_dir.file("calls"))); }

private:
    TemporaryDirectory m_dir;
};

// A database directory whose files no back end can open.
class BrokenDatabase {
public:
    explicit BrokenDatabase(const std::string& file) { writeFile(m_dir.file(file), std::string(8192, 'x')); }
    const std::string& path() const { return m_dir.path(); }

private:
    TemporaryDirectory m_dir;
};

// Runs the scenario in a child process and returns the child's log from info
// level up, with "open succeeded" / "open failed" lines where openAndNote ran.
std::vector<std::string> inFreshProcess(const std::function<void()>& scenario)
{
    TemporaryDirectory dir;
    std::string logFile = dir.file("log");
    pid_t pid = fork();
    if (pid == 0) {
        {
            LogCapture capture(LogLevel::info);
            scenario();
            writeFile(logFile, capture.text());
        }
        _exit(0);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return splitLines(readFile(logFile));
}

void openAndNote(RpmDB& db)
{
    bool opened = db.open(true);
    logMessage(LogLevel::info, "open %s", opened ? "succeeded" : "failed");
}

void searchFirst(const std::string& directory)
{
    setenv("PATH", (directory + ":" + getenv("PATH")).c_str(), 1);
}

class Recovery : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0);
        importHeaders(DBPATH, {HeaderBuilder("one", "1.0", "1"), HeaderBuilder("two", "2.0", "1")});
    }
};

const std::string ATTEMPT = "WARNING: rpm DB opening failed and using BDB, attempting recovery";
const std::string RECOVERED = "INFO: rpm DB recovery successful, reopening rpm DB";
const std::string OPEN_FAILED = "ERROR: failed opening rpm DB";

TEST_F(Recovery, BerkeleyRecoveryRunsOnceInAProcess)
{
    BrokenDatabase broken("Packages");
    RecoverStandIn recover(0);
    auto log = inFreshProcess([&] {
        searchFirst(recover.directory());
        Macro backend("_db_backend", "bdb");
        Macro dbpath("_dbpath", broken.path());
        RpmDB first;
        openAndNote(first); // recovers, reopens, fails again
        RpmDB second;
        openAndNote(second);
    });
    EXPECT_EQ(log, (std::vector<std::string>{ATTEMPT, RECOVERED, OPEN_FAILED, "INFO: open failed", OPEN_FAILED,
                                             "INFO: open failed"}));
    EXPECT_EQ(recover.calls(), std::vector<std::string>{"[-f][-v][-h][" + broken.path() + "]"});
}

TEST_F(Recovery, RecoveredDatabaseIsReopened)
{
    BrokenDatabase broken("Packages");
    // The stand-in "repairs" the database by putting a good one in its place.
    RecoverStandIn recover(0, "rm " + broken.path() + "/Packages && cp " + DBPATH + "/rpmdb.sqlite* " + broken.path());
    auto log = inFreshProcess([&] {
        searchFirst(recover.directory());
        Macro backend("_db_backend", "bdb");
        Macro dbpath("_dbpath", broken.path());
        RpmDB db;
        openAndNote(db);
        auto installed = db.getInstalledPackages();
        logMessage(LogLevel::info, "listed %zu", installed ? installed->size() : 0);
    });
    EXPECT_EQ(log, (std::vector<std::string>{ATTEMPT, RECOVERED, "INFO: open succeeded", "INFO: listed 2"}));
    EXPECT_EQ(recover.calls().size(), 1u);
}

TEST_F(Recovery, FailedRecoveryFailsTheOpen)
{
    BrokenDatabase broken("Packages");
    RecoverStandIn recover(1);
    auto log = inFreshProcess([&] {
        searchFirst(recover.directory());
        Macro backend("_db_backend", "bdb");
        Macro dbpath("_dbpath", broken.path());
        RpmDB db;
        openAndNote(db);
    });
    EXPECT_EQ(log, (std::vector<std::string>{ATTEMPT, "ERROR: rpm DB BDB recovery failed", OPEN_FAILED,
                                             "INFO: open failed"}));
    EXPECT_EQ(recover.calls().size(), 1u);
}

TEST_F(Recovery, MissingRecoveryProgramFailsTheOpen)
{
    BrokenDatabase broken("Packages");
    TemporaryDirectory emptyPath;
    auto log = inFreshProcess([&] {
        setenv("PATH", emptyPath.path().c_str(), 1);
        Macro backend("_db_backend", "bdb");
        Macro dbpath("_dbpath", broken.path());
        RpmDB db;
        openAndNote(db);
    });
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log.front(), ATTEMPT);
    EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
              (std::vector<std::string>{"ERROR: rpm DB BDB recovery failed", OPEN_FAILED, "INFO: open failed"}));
}

TEST_F(Recovery, NoRecoveryForOtherBackEnds)
{
    BrokenDatabase broken("rpmdb.sqlite");
    RecoverStandIn recover(0);
    auto log = inFreshProcess([&] {
        searchFirst(recover.directory());
        RpmDB db;
        {
            Macro dbpath("_dbpath", broken.path());
            openAndNote(db);
        }
        openAndNote(db); // a failed open leaves the object closed
    });
    EXPECT_EQ(log, (std::vector<std::string>{OPEN_FAILED, "INFO: open failed", "INFO: open succeeded"}));
    EXPECT_TRUE(recover.calls().empty());
}

TEST_F(Recovery, NoRecoveryOnceADatabaseOpened)
{
    BrokenDatabase broken("Packages");
    RecoverStandIn recover(0);
    auto log = inFreshProcess([&] {
        searchFirst(recover.directory());
        Macro backend("_db_backend", "bdb");
        RpmDB good;
        openAndNote(good);
        Macro dbpath("_dbpath", broken.path());
        RpmDB bad;
        openAndNote(bad);
    });
    EXPECT_EQ(log, (std::vector<std::string>{"INFO: open succeeded", OPEN_FAILED, "INFO: open failed"}));
    EXPECT_TRUE(recover.calls().empty());
}

// db5.3's own db_recover accepts the arguments and succeeds on a directory
// without an environment; it cannot mend a damaged file, so the reopen fails.
TEST_F(Recovery, RealBerkeleyRecoveryProgram)
{
    BrokenDatabase broken("Packages");
    TemporaryDirectory bin;
    ASSERT_EQ(symlink("/usr/bin/db5.3_recover", bin.file("db_recover").c_str()), 0);
    auto log = inFreshProcess([&] {
        searchFirst(bin.path());
        Macro backend("_db_backend", "bdb");
        Macro dbpath("_dbpath", broken.path());
        RpmDB db;
        openAndNote(db);
    });
    EXPECT_EQ(log, (std::vector<std::string>{ATTEMPT, "INFO: db_recover output:", "INFO:   BDB2525 No log files found",
                                             RECOVERED, OPEN_FAILED, "INFO: open failed"}));
}

} // namespace
