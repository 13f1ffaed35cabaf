// Runs inside a throwaway device root whose rpm database holds the unit
// data's rsa, dsa and subkeyed keys. Signatures are made by gpg and checked by
// the real gpgv, or by a stand-in gpgv put first on the search path where the
// test needs to watch or break it.
#include "sigcheck/trustedkeys.h"

#include <cstdlib>
#include <rpm/rpmlib.h>
#include <set>
#include <sys/mount.h>
#include <unistd.h>

#include "rpmtesting.h"

namespace updater::testing {
namespace {

// The keyring files that exist in /tmp.
std::set<std::string> keyrings()
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator("/tmp"))
        if (entry.path().filename().string().starts_with("updater."))
            names.insert(entry.path().filename().string());
    return names;
}

// A gpgv first on the search path while it lives. It records its arguments,
// the keyring's mode and content in `dir` (outside /tmp), then runs `action`.
class StandinGpgv {
public:
    explicit StandinGpgv(const std::string& action)
        : m_dir("/var/lib/standin-gpgv"), m_savedPath(std::getenv("PATH"))
    {
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        writeFile(m_dir + "/gpgv", "#!/bin/sh\n"
                                   "printf '%s\\n' \"$@\" > " + m_dir + "/argv\n"
                                   "stat -c %a \"$3\" > " + m_dir + "/mode\n"
                                   "cp \"$3\" " + m_dir + "/keyring\n" + action + "\n");
        fs::permissions(m_dir + "/gpgv", fs::perms::owner_all);
        setenv("PATH", (m_dir + ":" + m_savedPath).c_str(), 1);
    }
    ~StandinGpgv() { setenv("PATH", m_savedPath.c_str(), 1); }

    bool ran() const { return fs::exists(m_dir + "/argv"); }
    std::string recorded(const std::string& name) const { return readFile(m_dir + "/" + name); }

private:
    std::string m_dir;
    std::string m_savedPath;
};

class TrustedKeysTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0);
        importDatabaseKeys();
    }
    void SetUp() override { m_keyringsBefore = keyrings(); }
    void TearDown() override { EXPECT_EQ(keyrings(), m_keyringsBefore); }

    TemporaryDirectory m_dir;
    const std::string m_file = unitData("docs/index.xml");
    const std::string m_signature = UnitKey("rsa").signature(".asc");
    std::set<std::string> m_keyringsBefore;
    LogCapture capture;
};

TEST_F(TrustedKeysTest, HandsGpgvTheKeyringAndRemovesItAfterItWasKilled)
{
    TrustedKeys trusted;
    ASSERT_TRUE(trusted.loadFromRpmDb());
    StandinGpgv gpgv("kill -KILL $$");
    EXPECT_FALSE(trusted.verify(m_file, m_signature));
    EXPECT_TRUE(capture.has("ERROR: signature verifier was killed by signal 9"));

    ASSERT_TRUE(gpgv.ran());
    std::string argv = gpgv.recorded("argv");
    std::string keyring = argv.substr(argv.find('\n', argv.find('\n') + 1) + 1);
    keyring.resize(keyring.find('\n'));
    EXPECT_EQ(argv, "--quiet\n--keyring\n" + keyring + "\n--ignore-time-conflict\n" + m_signature + "\n" + m_file + "\n");
    EXPECT_EQ(keyring.rfind("/tmp/updater.", 0), 0u);
    EXPECT_EQ(keyring.size(), std::string("/tmp/updater.XXXXXX").size());
    EXPECT_EQ(gpgv.recorded("mode"), "600\n");
    EXPECT_EQ(gpgv.recorded("keyring"),
              UnitKey("rsa").publicKey() + UnitKey("dsa").publicKey() + UnitKey("subkeyed").publicKey());
    EXPECT_FALSE(fs::exists(keyring));
}

TEST_F(TrustedKeysTest, NoTrustedKeysStartsNoVerifier)
{
    TemporaryDirectory dbpath;
    runCommand("rpmdb --initdb --dbpath " + dbpath.path());
    Macro macro("_dbpath", dbpath.path());
    TrustedKeys trusted;
    ASSERT_TRUE(trusted.loadFromRpmDb());
    EXPECT_TRUE(trusted.keys().empty());
    StandinGpgv gpgv("exit 0");
    EXPECT_FALSE(trusted.verify(m_file, m_signature));
    EXPECT_TRUE(capture.has("WARNING: no trusted keys to verify file"));
    EXPECT_FALSE(gpgv.ran());
}

TEST_F(TrustedKeysTest, KeyringThatCannotBeWrittenIsNotLeftBehind)
{
    TrustedKeys trusted;
    // Each load appends the database's keys again: enough bytes to fill a page.
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(trusted.loadFromRpmDb());
    StandinGpgv gpgv("exit 0");
    // A read-only /tmp, then one too small for the keyring.
    const struct { const char* options; unsigned long flags; const char* error; } mounts[] = {
        {"size=64k", MS_RDONLY, "Read-only file system"}, {"size=4k", 0, "No space left on device"}};
    for (const auto& m : mounts) {
        ASSERT_EQ(mount("tmpfs", "/tmp", "tmpfs", m.flags, m.options), 0);
        EXPECT_FALSE(trusted.verify(m_file, m_signature));
        EXPECT_TRUE(fs::is_empty("/tmp"));
        ASSERT_EQ(umount("/tmp"), 0);
        EXPECT_TRUE(capture.has(std::string("ERROR: failed creating temporary keyring file: ") + m.error));
    }
    EXPECT_FALSE(gpgv.ran());
}

} // namespace
} // namespace updater::testing
