// URLFetcher against scripted servers: construction, retries of transient
// failures, error texts and hints, request headers and the user agent.

#include <optional>

#include "download/downloader.h"
#include "download/networktest.h"
#include "log/logger.h"

namespace updater::testing {
namespace {

using FetcherTest = DownloadTest;

TEST_F(FetcherTest, AcceptsLocalFileUrisAndKnownSchemesOnly)
{
    const struct { const char* uri; bool valid; std::string logged; } cases[] = {
        {"file:///var/repo", true, ""},
        {"file://localhost/var/repo", true, ""},
        {"file://server/var/repo", false, "ERROR: only local file: URIs supported"},
        {"ftp://mirror/repo", false, "ERROR: scheme 'ftp' not supported"},
        {"/var/repo", false, "ERROR: URI missing host or scheme, cannot build fetcher"},
        {"https://mirror/repo", true, ""},
    };
    for (const auto& c : cases) {
        ChildRun run = runChild([&] {
            ParsedUri parsed;
            return parsed.parse(c.uri) && URLFetcher(parsed.get()).isValid();
        });
        EXPECT_EQ(run.exitCode, c.valid ? 0 : 1) << c.uri << "\n" << run.text();
        EXPECT_TRUE(c.logged.empty() || run.has(c.logged)) << c.uri << "\n" << run.text();
    }
}

// Everything but trace and debug lines.
std::vector<std::string> reported(const ChildRun& run)
{
    std::vector<std::string> lines;
    for (const std::string& line : run.log)
        if (!line.starts_with("TRACE: ") && !line.starts_with("DEBUG: "))
            lines.push_back(line);
    return lines;
}

// Transient failures are retried up to three requests; an error status and a
// name that does not resolve are not. The target keeps its old content and
// no temporary file stays behind unless a complete body arrived.
TEST_F(FetcherTest, RetriesOfTransientFailures)
{
    const std::string closedStatus =
        "failed fetching 'f' (Could not read status line: connection was closed by server)";
    const std::string closedBody = "failed fetching 'f' (Could not read response body: connection was closed by server)";
    const std::string refused = "failed fetching 'f' (could not connect to server)";
    // routes: "" for no server at all; content: of the target afterwards.
    const struct {
        const char* name; std::string routes, uri; bool fetched; const char* content; std::vector<std::string> reported;
        size_t requests;
    } cases[] = {
        // The connection drops before the answer, then in the middle of the
        // body; the third answer is complete and the file holds only that body.
        {"two failures, then success",
         R"("/repo/f": [{"drop": true}, {"body": "a longer body than the last one", "truncate": 20},
                        {"body": "final body"}])",
         "http://127.0.0.1:8080/repo", true, "final body",
         {"WARNING: " + closedStatus + "; retrying", "WARNING: " + closedBody + "; retrying",
          "INFO: fetched 'f' in retry 2"},
         3},
        {"three failures",
         R"("/repo/f": [{"drop": true}, {"drop": true}, {"body": "0123456789", "truncate": 3},
                        {"body": "too late"}])",
         "http://127.0.0.1:8080/repo", false, "old content",
         {"WARNING: " + closedStatus + "; retrying", "WARNING: " + closedStatus + "; retrying", "ERROR: " + closedBody},
         3},
        {"connection refused", "", "http://127.0.0.1:8089/repo", false, "old content",
         {"WARNING: " + refused + "; retrying", "WARNING: " + refused + "; retrying", "ERROR: " + refused}, 0},
        {"error status", R"("/repo/f": {"status": 404, "body": "not here"})", "http://127.0.0.1:8080/repo", false,
         "old content", {"ERROR: failed fetching 'f' (404 Not Found)"}, 1},
        {"unresolvable name: a hint at the network set-up", "", "http://updates.invalid/repo", false, "old content",
         {"ERROR: failed fetching 'f' (server or proxy hostname lookup failed)",
          "ERROR: make sure that a network gateway and DNS servers are configured",
          "and that the unit is connected to the network"},
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<TestServer> server;
        if (!c.routes.empty())
            server.emplace(R"({"routes": {)" + c.routes + "}}", 8080);
        writeFile(target(), "old content");
        ChildRun run = runChild([&] { return downloadOnce(c.uri, "f", target()); });
        EXPECT_EQ(run.exitCode, c.fetched ? 0 : 1);
        EXPECT_EQ(reported(run), c.reported) << run.text();
        EXPECT_EQ(server ? server->requests().size() : 0u, c.requests);
        EXPECT_EQ(readFile(target()), c.content);
        EXPECT_FALSE(exists(target() + ".tmp"));
    }
}

TEST_F(FetcherTest, IdentifiesTheDeviceInTheUserAgent)
{
    TestServer server(R"({"routes": {"/repo/f": {"body": "x"}}})", 8080);
    ChildRun run = runChild([&] { return downloadOnce("http://127.0.0.1:8080/repo", "f", target()); });
    ASSERT_EQ(run.exitCode, 0) << run.text();
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(requestHeader(server.requests()[0], "User-Agent"),
              "TestAgent/1.8.3 (lumenta-x-00000000c0ffee42) neon/0.32.5");
}

} // namespace
} // namespace updater::testing
