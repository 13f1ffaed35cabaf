#include "repo/repositorydata.h"

#include <algorithm>
#include <memory>

#include "repotesting.h"
#include "testing/dependencies.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

// The architecture test scores against rpm's configured platform.
const auto* rpmConfig = ::testing::AddGlobalTestEnvironment(new RpmConfig);

class RepositoryTest : public ServedRepository {
protected:
    RepositoryTest() { fs::create_directories(cacheDir()); }

    RepositoryData& repo()
    {
        data = std::make_unique<RepositoryData>(config, repository);
        return *data;
    }

    // A repomd.xml in the cache holding `body` inside its root element.
    void writeRepomd(const std::string& body)
    {
        writeFile(cacheDir() + "repomd.xml",
                  R"(<?xml version="1.0" encoding="UTF-8"?>
<repomd xmlns="http://linux.duke.edu/metadata/repo" xmlns:rpm="http://linux.duke.edu/metadata/rpm">
<revision>1</revision>
)" + body + "</repomd>\n");
    }

    // A cached repository whose primary file holds `document`.
    void writeCache(const std::string& document)
    {
        std::string primary = cacheDir() + "primary.xml";
        writeFile(primary, document);
        Checksum checksum;
        checksum.type = PooledString("sha256");
        std::vector<unsigned char> digest;
        EXPECT_TRUE(checksum.digest(primary, false, digest));
        writeRepomd(R"(<data type="primary"><checksum type="sha256">)" + hexText(digest.data(), digest.size()) +
                    R"(</checksum><location href="repodata/primary.xml"/><timestamp>1</timestamp></data>)");
    }

    std::unique_ptr<RepositoryData> data;
};

TEST_F(RepositoryTest, BadRepomdDocumentsAreRejected)
{
    const struct { const char* rule; std::string body; } cases[] = {
        {"no type", "<data><location href=\"a\"/></data>"},
        {"location without href", "<data type=\"primary\"><location/></data>"},
        {"checksum without type", "<data type=\"primary\"><checksum>aa</checksum></data>"},
        {"open-checksum without text", "<data type=\"primary\"><open-checksum type=\"sha\"/></data>"},
        {"letters in timestamp", "<data type=\"primary\"><timestamp>1300000000Z</timestamp></data>"},
        {"empty timestamp", "<data type=\"primary\"><timestamp/></data>"},
        {"timestamp without digits", "<data type=\"primary\"><timestamp>.5</timestamp></data>"},
        {"timestamp overflow", "<data type=\"primary\"><timestamp>99999999999999999999999</timestamp></data>"},
        {"malformed XML", "<data type=\"primary\"></dat>"},
    };
    for (const auto& c : cases) {
        writeRepomd(c.body);
        EXPECT_FALSE(repo().parseRepomd()) << c.rule;
    }
    writeFile(cacheDir() + "repomd.xml", "<repomd><data type=\"primary\"/></repomd>");
    EXPECT_FALSE(repo().parseRepomd()) << "the root without its namespace";
}

TEST_F(RepositoryTest, RepomdEntitiesFromOutsideAreNeverRead)
{
    writeFile(cacheDir() + "secret", "SECRET");
    writeFile(cacheDir() + "repomd.xml", "<!DOCTYPE repomd [<!ENTITY s SYSTEM \"file://" + cacheDir() + "secret\">]>"
              "<repomd xmlns=\"http://linux.duke.edu/metadata/repo\"><data type=\"primary\"><location href=\"x\"/>"
              "<checksum type=\"sha256\">ab&s;</checksum></data></repomd>");
    ASSERT_TRUE(repo().parseRepomd());
    EXPECT_EQ(data->metadata().at("primary").checksum.value.view(), "ab");
}

TEST_F(RepositoryTest, CacheLoadFailures)
{
    LogCapture capture;
    EXPECT_FALSE(repo().loadFromCache());
    EXPECT_TRUE(capture.has("ERROR: failed parsing repository metadata from 'repodata/repomd.xml'"));

    writeRepomd("<data type=\"other\"><location href=\"o.xml\"/></data>");
    EXPECT_FALSE(repo().loadFromCache());
    EXPECT_TRUE(capture.has("ERROR: no 'primary' entry in repository metadata"));

    PackageXml bad;
    bad.checksum += bad.checksum;
    writeCache(primaryDocument(PackageXml{}.str() + bad.str()));
    EXPECT_FALSE(repo().loadFromCache());
    EXPECT_TRUE(capture.has("ERROR: failed parsing repository resource 'repodata/primary.xml'"));
    EXPECT_TRUE(data->packages().empty());

    writeCache(primaryDocument(PackageXml{}.str()));
    writeFile(cacheDir() + "primary.xml", primaryDocument(""));
    EXPECT_FALSE(repo().loadFromCache());
    EXPECT_TRUE(capture.has("ERROR: invalid checksum on 'repodata/primary.xml'"));
}

// A package file named "", "." or ".." would be written over the package
// cache directory or outside it: the primary document is refused.
TEST_F(RepositoryTest, PackageLocationsMustNameAFile)
{
    for (const char* href : {"..", "sub/..", ".", "sub/.", "", "///"}) {
        PackageXml bad;
        bad.location = std::string("<location href=\"") + href + "\"/>";
        writeCache(primaryDocument(PackageXml{}.str() + bad.str()));
        LogCapture capture;
        EXPECT_FALSE(repo().loadFromCache()) << href;
        EXPECT_TRUE(capture.has(std::string("ERROR: invalid location '") + href + "' in repository metadata"))
            << capture.text();
        EXPECT_TRUE(data->packages().empty());
    }
    PackageXml trailing;
    trailing.location = "<location href=\"sub/foo.rpm/\"/>";
    writeCache(primaryDocument(trailing.str()));
    ASSERT_TRUE(repo().loadFromCache());
    EXPECT_EQ(data->packages().begin()->second.localPath.view(), cacheDir() + "packages/foo.rpm");
}

// Repositories made by createrepo_c from packages built by rpmbuild.
class RealRepository : public RepositoryTest, public ::testing::WithParamInterface<const char*> {
protected:
    std::string repoDir() const { return unitData(std::string("repos/") + GetParam()); }

    // The cache layout: repomd.xml and the primary under its own file name.
    std::string layOutCache() const
    {
        fs::copy_file(repoDir() + "/repodata/repomd.xml", cacheDir() + "repomd.xml");
        std::string primary = repoDir() + "/" + primaryLocation(repoDir());
        std::string cached = cacheDir() + fs::path(primary).filename().string();
        fs::copy_file(primary, cached);
        return cached;
    }
};

// rpm's own list of the package's entries, rpmlib() ones left out as the
// metadata leaves them out, in our entry text.
std::vector<std::string> rpmEntries(const std::string& file, const char* query)
{
    DependencySet set;
    for (const std::string& line : splitLines(runCommand("rpm -qp --nosignature " + std::string(query) + " '" + file + "'"))) {
        if (!line.starts_with("rpmlib("))
            set.insert(parseDependency(line));
    }
    return texts(set);
}

TEST_P(RealRepository, LoadsFromCacheAsRpmReadsThePackages)
{
    layOutCache();
    ASSERT_TRUE(repo().loadFromCache());
    const std::vector<std::string> files = splitLines(readFile(repoDir() + "/packages.txt"));
    ASSERT_EQ(files.size(), 6u);
    ASSERT_EQ(data->packages().size(), files.size());
    for (const std::string& name : files) {
        std::string file = repoDir() + "/" + name;
        auto found = std::ranges::find_if(data->packages(), [&](const auto& e) { return e.second.location.view() == name; });
        ASSERT_NE(found, data->packages().end()) << name;
        const Package* package = &found->second;
        std::string query = runCommand("rpm -qp --nosignature --qf '%{NAME}-%{EPOCHNUM}:%{VERSION}-%{RELEASE}\\n%{GROUP}' '" + file + "'");
        EXPECT_EQ(package->label() + "\n" + package->group.str(), query);
        // rpm lists no weak dependency among the requires.
        EXPECT_EQ(texts(package->provides), rpmEntries(file, "--provides")) << name;
        EXPECT_EQ(texts(package->requires_), rpmEntries(file, "--requires")) << name;
        EXPECT_EQ(texts(package->obsoletes), rpmEntries(file, "--obsoletes")) << name;
        EXPECT_EQ(package->localPath.view(), cacheDir() + "packages/" + name);
        EXPECT_EQ(package->checksum.type.view(), GetParam());
        EXPECT_TRUE(package->checksum.checkFile(file)) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Checksums, RealRepository, ::testing::Values("sha256", "sha"));

} // namespace
} // namespace updater::testing
