// Fetching an update set into the package cache of a real repository served
// by the scripted server, and cleaning the cache.
#include "repotesting.h"

namespace updater::testing {
namespace {

// alpha-1.0-1, beta, eps and gamma: the update set walks them in name order.
const std::vector<std::string> SET = {"alpha-1.0-1.noarch.rpm", "beta-3.0-7.x86_64.rpm", "eps-1.0-1.x86_64.rpm",
                                      "gamma-2.0-5.noarch.rpm"};

class PackageCache : public ServedRepository {
protected:
    // Updates the metadata, then fetches the first package of each name with
    // every progress report due.
    ChildRun fetch()
    {
        return runChild([&] {
            RepositoryData data(config, repository);
            if (!data.update(""))
                return false;
            NewPackages first;
            for (const auto& [name, package] : data.packages())
                first.emplace(name, package);
            ItemNotify::setClock(steppingClock);
            return data.fetchPackages(first);
        });
    }

    std::string cached(const std::string& file) const { return packageCacheDir() + file; }
    static std::string served(const std::string& file) { return repoDir() + "/" + file; }
};

TEST_F(PackageCache, RetriesAMismatchOnceBypassingCachesThenStops)
{
    TestServer server(serverConfig(json("/" + SET[1]) + ": {\"body\": \"not a package\"}"), PORT);
    ChildRun run = fetch();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(paths(server, ".rpm"), (std::vector<std::string>{"/" + SET[0], "/" + SET[1], "/" + SET[1]}))
        << "the fetch stops at the failing package";
    const std::vector<std::string> requests = server.requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(cacheHeaders(requests.end()[-2]) + " " + cacheHeaders(requests.back()), "/ no-cache/no-cache");
    EXPECT_TRUE(run.has("WARNING: invalid checksum on '" + cached(SET[1]) + "'; retrying with bypass of http caches"))
        << run.text();
    EXPECT_TRUE(run.has("ERROR: invalid checksum on '" + cached(SET[1]) + "'"));
    EXPECT_EQ(readFile(cached(SET[0])), readFile(served(SET[0]))) << "kept for the next run";
    EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(PackageCache, KeepsNothingOfACutDownload)
{
    TestServer server(serverConfig(json("/" + SET[1]) + ": {\"body_file\": " + json(served(SET[1])) +
                                   ", \"truncate\": 1000}"),
                      PORT);
    ChildRun run = fetch();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.has("ERROR: failed getting package '" + SET[1] + "' from repository")) << run.text();
    EXPECT_EQ(paths(server, ".rpm"), (std::vector<std::string>{"/" + SET[0], "/" + SET[1], "/" + SET[1], "/" + SET[1]}));
    EXPECT_EQ(directoryEntries(packageCacheDir()), std::vector<std::string>{SET[0]});
    EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(PackageCache, ReportsWhatKeepsTheFetchFromStarting)
{
    NewPackages empty;
    const struct { std::string location; std::string cacheDir; std::string error; } cases[] = {
        {"", config.cacheDir, "ERROR: no repository URI set, cannot get packages"},
        {"http://[::1", dir.path() + "/", "ERROR: failed creating repository downloder from 'http://[::1'"},
        {HTTP_REPO, dir.file("absent/"),
         "ERROR: cannot create dir '" + dir.file("absent/base/packages/") + "' (No such file or directory)"},
    };
    std::filesystem::create_directories(cacheDir()); // made by the update before a fetch
    for (const auto& c : cases) {
        repository.location = c.location;
        config.cacheDir = c.cacheDir;
        ChildRun run = runChild([&] {
            RepositoryData data(config, repository);
            return data.fetchPackages(empty);
        });
        EXPECT_EQ(run.exitCode, 1) << c.error;
        EXPECT_TRUE(run.has(c.error)) << run.text();
    }
}

using CleanPackageCache = ServedRepository;

TEST_F(CleanPackageCache, AMissingDirectoryIsClean)
{
    LogCapture capture(LogLevel::info);
    EXPECT_TRUE(RepositoryData(config, repository).cleanPackageCache());
    EXPECT_EQ(capture.text(), "");
}

// Every entry is unlinked by name; a directory cannot be and stays, with an
// error and a warning, but the cleaning still succeeds.
TEST_F(CleanPackageCache, RemovesFilesAndReportsWhatCannotBeRemoved)
{
    dir.write("base/packages/a.rpm", "a");
    dir.write("base/packages/b.rpm.tmp", "partial");
    dir.write("base/packages/sub/inside", "x");
    std::filesystem::create_symlink(dir.file("base/packages/sub"), packageCacheDir() + "link");
    LogCapture capture;
    EXPECT_TRUE(RepositoryData(config, repository).cleanPackageCache());
    EXPECT_EQ(directoryEntries(packageCacheDir()), std::vector<std::string>{"sub"});
    EXPECT_EQ(readFile(packageCacheDir() + "sub/inside"), "x");
    EXPECT_TRUE(capture.has("ERROR: failed removing file '" + packageCacheDir() + "sub' (Is a directory)"))
        << capture.text();
    EXPECT_TRUE(capture.has("WARNING: encountered errors while cleaning package cache"));
}

} // namespace
} // namespace updater::testing
