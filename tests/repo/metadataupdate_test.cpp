// RepositoryData::update against a real repository served by the scripted
// server: checksum retries, failing steps, and locations that must not be used.
#include "repotesting.h"

namespace updater::testing {
namespace {

class MetadataUpdate : public ServedRepository {
protected:
    // One update in a child, every progress report due: true when it loads the six packages.
    ChildRun update()
    {
        return runChild([&] {
            ItemNotify::setClock(steppingClock);
            RepositoryData data(config, repository);
            return data.update("") && data.packages().size() == 6;
        });
    }
};

TEST_F(MetadataUpdate, RetriesAMismatchOnceBypassingCachesThenFails)
{
    std::string primary = "/" + primaryLocation();
    TestServer server(serverConfig(json(primary) + ": [{\"body\": \"wrong\"}, {\"body\": \"still wrong\"}, "
                                                   "{\"body_file\": " + json(repoDir() + primary) + "}]"),
                      PORT);
    ChildRun failed = update();
    EXPECT_EQ(failed.exitCode, 1);
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(paths(server), (std::vector<std::string>{"/repodata/repomd.xml", primary, primary}));
    EXPECT_EQ(cacheHeaders(requests[1]), "/");
    EXPECT_EQ(cacheHeaders(requests[2]), "no-cache/no-cache");
    EXPECT_TRUE(failed.has("WARNING: invalid checksum on '" + primaryLocation() +
                           "'; retrying with bypass of http caches")) << failed.text();
    EXPECT_TRUE(failed.has("ERROR: invalid checksum on '" + primaryLocation() + "'"));
    EXPECT_TRUE(failed.has("ERROR: failed getting repository resource '" + primaryLocation() + "'"));
    EXPECT_TRUE(temporaryFiles().empty());

    // The next run finds the wrong copy and gets the right one.
    ChildRun next = update();
    ASSERT_EQ(next.exitCode, 0) << next.text();
    EXPECT_EQ(paths(server).size(), 5u);
}

TEST_F(MetadataUpdate, ReportsEachFailingStep)
{
    std::string noPrimary = repomd();
    noPrimary.replace(noPrimary.find("type=\"primary\""), 14, "type=\"primary-old\"");
    TestServer server(serverConfig(
                          R"("/missing/repodata/repomd.xml": {"status": 404},
                             "/plain/repodata/repomd.xml": {"body": "<repomd><data type=\"primary\"/></repomd>"},
                             "/noprimary/repodata/repomd.xml": {"body": )" + json(noPrimary) + R"(},
                             "/lost/repodata/repomd.xml": {"body_file": )" + json(repoDir() + "/repodata/repomd.xml") +
                          "}"),
                      PORT);
    const struct { std::string location; std::string error; } cases[] = {
        {"http://[::1", "ERROR: failed creating repository downloder from 'http://[::1'"},
        {"http://127.0.0.1:8080/missing", "ERROR: failed getting repository resource 'repodata/repomd.xml'"},
        {"http://127.0.0.1:8080/plain", "ERROR: failed parsing repository metadata from 'repodata/repomd.xml'"},
        {"http://127.0.0.1:8080/noprimary", "ERROR: no 'primary' entry in repository metadata"},
        {"http://127.0.0.1:8080/lost", "ERROR: failed getting repository resource '" + primaryLocation() + "'"},
    };
    for (const auto& c : cases) {
        repository.location = c.location;
        ChildRun run = update();
        EXPECT_EQ(run.exitCode, 1) << c.location;
        EXPECT_TRUE(run.has(c.error)) << c.location << "\n" << run.text();
    }
    // Only the last component of the cache directory is created.
    config.cacheDir = dir.file("absent/");
    repository.location = HTTP_REPO;
    ChildRun run = update();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.has("ERROR: cannot create dir '" + dir.file("absent/base/") + "' (No such file or directory)"));
}

// A location whose last component is empty, "." or ".." would make the
// cache path the cache directory or its parent.
TEST_F(MetadataUpdate, RefusesAPrimaryWithoutAUsableLocation)
{
    std::string primary = primaryLocation();
    const struct { std::string replacement; std::string error; } cases[] = {
        {"<location href=\"repodata/..\"/>", "ERROR: invalid location 'repodata/..' in repository metadata"},
        {"<location href=\".\"/>", "ERROR: invalid location '.' in repository metadata"},
        {"<location href=\"/\"/>", "ERROR: invalid location '/' in repository metadata"},
        {"<location href=\"\"/>", "ERROR: no location for 'primary' in repository metadata"},
        {"", "ERROR: no location for 'primary' in repository metadata"},
    };
    std::string location = "<location href=\"" + primary + "\"/>";
    for (const auto& c : cases) {
        std::string document = repomd();
        document.replace(document.find(location), location.size(), c.replacement);
        TestServer server(serverConfig("\"/repodata/repomd.xml\": {\"body\": " + json(document) + "}"), PORT);
        ChildRun run = update();
        EXPECT_EQ(run.exitCode, 1) << c.replacement;
        EXPECT_TRUE(run.has(c.error)) << c.replacement << "\n" << run.text();
        EXPECT_EQ(paths(server), std::vector<std::string>{"/repodata/repomd.xml"}) << c.replacement;
        EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"base"});
        EXPECT_EQ(directoryEntries(cacheDir()), std::vector<std::string>{"repomd.xml"});
    }
}

} // namespace
} // namespace updater::testing
