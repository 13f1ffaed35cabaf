// Downloader: base paths, redirects across servers, and a target that cannot
// be written. A target replaced only by a complete download is tested with
// the fetcher's retries.

#include "download/downloader.h"
#include "download/networktest.h"
#include "log/logger.h"

namespace updater::testing {
namespace {

using DownloaderTest = DownloadTest;

TEST_F(DownloaderTest, OpensOnceOnAWellFormedUri)
{
    ChildRun run = runChild([] {
        Downloader downloader;
        if (downloader.open("/var/lib/repo") || downloader.open("http://[::1/repo") || downloader.isOpen())
            return false;
        if (!downloader.open("file:///var/lib/repo") || downloader.open("file:///other/repo"))
            return false;
        std::string path = "repodata/repomd.xml";
        downloader.resolvePath(path);
        downloader.close();
        if (path != "/var/lib/repo/repodata/repomd.xml" || !downloader.open("file:///var/lib/repo/"))
            return false;
        std::string absolute = "/abs";
        downloader.resolvePath(absolute);
        downloader.close();
        return absolute == "/var/lib/repo//abs" && !downloader.download("f", "/tmp/never", false);
    });
    EXPECT_EQ(run.exitCode, 0) << run.text();
    EXPECT_TRUE(run.has("ERROR: repository URI '/var/lib/repo' missing host, path or scheme"));
    EXPECT_TRUE(run.has("ERROR: failed parsing repository URI 'http://[::1/repo'"));
    EXPECT_FALSE(run.contains("'/other/repo'"));
}

TEST_F(DownloaderTest, FollowsFiveRedirectsButNotSixAndKeepsTheQueryOfALocation)
{
    TestServer server(R"({"routes": {
        "/repo/five": {"location": "/c1"}, "/c1": {"location": "/c2"}, "/c2": {"location": "/c3"},
        "/c3": {"location": "/c4"}, "/c4": {"location": "/c5"}, "/c5": {"body": "end of chain"},
        "/repo/six": {"location": "/repo/five"},
        "/repo/q": {"status": 307, "location": "/dl?file=a.rpm&sig=1"}, "/dl?file=a.rpm&sig=1": {"body": "by query"}}})",
                      8080);
    ChildRun run = runChild([&] {
        return downloadOnce("http://127.0.0.1:8080/repo", "five", target()) &&
               !downloadOnce("http://127.0.0.1:8080/repo", "six", target() + "6") &&
               downloadOnce("http://127.0.0.1:8080/repo", "q", target() + "q");
    });
    EXPECT_EQ(run.exitCode, 0) << run.text();
    EXPECT_EQ(readFile(target()) + "/" + readFile(target() + "q"), "end of chain/by query");
    EXPECT_EQ(run.count("ERROR: maximum number of redirects (5) exceeded"), 1);
    EXPECT_FALSE(exists(target() + "6") || exists(target() + "6.tmp"));
    EXPECT_EQ(server.requests().size(), 6u + 6u + 2u); // the sixth redirect is not followed
    EXPECT_EQ(requestPath(server.requests().back()), "/dl?file=a.rpm&sig=1");
}

// A server must not make the device copy local files (or an endless
// device) into its cache by redirecting to a file: URI.
TEST_F(DownloaderTest, RefusesRedirectsToOtherSchemes)
{
    TestServer server(R"({"routes": {"/repo/zero": {"location": "file:///dev/zero"},
        "/repo/shadow": {"location": "file:///etc/shadow"}, "/repo/ftp": {"location": "ftp://127.0.0.1/x"}}})", 8080);
    writeFile(target(), "old");
    ChildRun run = runChild([&] {
        return !downloadOnce("http://127.0.0.1:8080/repo", "zero", target()) &&
               !downloadOnce("http://127.0.0.1:8080/repo", "shadow", target()) &&
               !downloadOnce("http://127.0.0.1:8080/repo", "ftp", target());
    });
    EXPECT_EQ(run.exitCode, 0) << run.text();
    EXPECT_TRUE(run.has("ERROR: cannot create fetcher for redirection to 'file:///dev/zero'"));
    EXPECT_TRUE(run.has("ERROR: cannot create fetcher for redirection to 'file:///etc/shadow'"));
    EXPECT_TRUE(run.has("ERROR: cannot create fetcher for redirection to 'ftp://127.0.0.1/x'"));
    EXPECT_FALSE(run.contains("for scheme 'file'"));
    EXPECT_EQ(readFile(target()), "old");
    EXPECT_FALSE(exists(target() + ".tmp"));
}

TEST_F(DownloaderTest, CleansUpWhenTheTargetCannotBeWritten)
{
    TestServer server(R"({"routes": {"/repo/f": {"body": "content"}}})", 8080);
    std::string inMissingDir = m_dir.file("missing/f");
    std::string directory = m_dir.file("dir");
    m_dir.write("dir/keep", "kept");
    ChildRun run = runChild([&] {
        return !downloadOnce("http://127.0.0.1:8080/repo", "f", inMissingDir) &&
               !downloadOnce("http://127.0.0.1:8080/repo", "f", directory);
    });
    EXPECT_EQ(run.exitCode, 0) << run.text();
    EXPECT_TRUE(run.has("ERROR: failed creating file '" + inMissingDir + ".tmp' (No such file or directory)"));
    EXPECT_TRUE(run.has("ERROR: failed renaming '" + directory + ".tmp' to '" + directory + "' (Is a directory)"));
    EXPECT_EQ(readFile(directory + "/keep"), "kept");
    EXPECT_FALSE(exists(directory + ".tmp"));
}

} // namespace
} // namespace updater::testing
