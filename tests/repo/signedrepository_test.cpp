// Loading a cached repository whose repomd.xml is signed, inside a throwaway
// device root whose rpm database holds the signing key (made by gpg and
// imported by "rpm --import"); a second key stays outside the database.
#include <filesystem>
#include <gtest/gtest.h>

#include "gpgtesting.h"
#include "repo/repositorydata.h"
#include "repotesting.h"
#include "testing/testing.h"

using namespace updater;
using updater::testing::GpgKey;
using updater::testing::LogCapture;
using updater::testing::TemporaryDirectory;
using updater::testing::writeFile;
namespace fs = std::filesystem;

namespace {

const std::string REPO = std::string(TEST_REPOS) + "/sha256";

struct Keys {
    GpgKey repository{"repository", "rsa2048"};
    GpgKey other{"other", "rsa2048"};
};

Keys* keys = nullptr;

class KeysEnvironment : public updater::testing::RpmConfig {
public:
    void SetUp() override
    {
        updater::testing::RpmConfig::SetUp();
        keys = new Keys;
        keys->repository.importInto("/var/lib/rpm");
    }
    void TearDown() override
    {
        delete keys;
        keys = nullptr;
    }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new KeysEnvironment);

const std::vector<std::string> REFUSED = {
    "ERROR: invalid metadata signature",
    "ERROR: failed parsing repository metadata from 'repodata/repomd.xml'",
};

// The repository's metadata in the cache, as an update leaves it.
class SignedRepository : public ::testing::Test {
protected:
    SignedRepository()
    {
        config.cacheDir = m_dir.path() + "/";
        config.noMdSigCheck = false;
        repository.id = "base";
        repository.location = REPO;
        fs::create_directories(cacheDir());
        fs::copy_file(REPO + "/repodata/repomd.xml", cacheDir() + "repomd.xml");
        for (const auto& file : fs::directory_iterator(REPO + "/repodata")) {
            if (file.path().filename().string().ends_with("-primary.xml.gz"))
                fs::copy_file(file.path(), cacheDir() + file.path().filename().string());
        }
    }

    std::string cacheDir() const { return m_dir.path() + "/base/"; }
    std::string signature() const { return cacheDir() + "repomd.xml.asc"; }

    // Loads from the cache and returns the log from info level up.
    std::vector<std::string> load(bool expected)
    {
        RepositoryData data(config, repository);
        LogCapture capture(LogLevel::info);
        EXPECT_EQ(data.loadFromCache(), expected);
        EXPECT_EQ(data.packages().empty(), !expected);
        return capture.lines();
    }

    TemporaryDirectory m_dir;
    Config config;
    Repository repository;
};

TEST_F(SignedRepository, SignedByDatabaseKeyLoads)
{
    keys->repository.detachSign(cacheDir() + "repomd.xml", signature());
    EXPECT_EQ(load(true), std::vector<std::string>{});
}

TEST_F(SignedRepository, SignedByAnotherKeyIsRefused)
{
    keys->other.detachSign(cacheDir() + "repomd.xml", signature());
    EXPECT_EQ(load(false), REFUSED);
}

TEST_F(SignedRepository, IndexChangedAfterSigningIsRefused)
{
    keys->repository.detachSign(cacheDir() + "repomd.xml", signature());
    std::string repomd = updater::testing::readFile(cacheDir() + "repomd.xml");
    writeFile(cacheDir() + "repomd.xml", repomd.replace(repomd.find("<revision>"), 10, "<revision>9"));
    EXPECT_EQ(load(false), REFUSED);
}

TEST_F(SignedRepository, MissingSignatureIsRefused)
{
    EXPECT_EQ(load(false), (std::vector<std::string>{
                               "ERROR: metadata signature missing or unreadable",
                               "ERROR: failed parsing repository metadata from 'repodata/repomd.xml'",
                           }));
}

} // namespace
