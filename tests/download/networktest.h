// Network test harness, for tests that run inside a throwaway device root
// (private mount and network namespaces, loopback up): scripted servers as
// child processes, the root's trust store, hosts and identity files, and
// fetches run in forked children so that each can set up the fetcher class
// with its own network settings.
#pragma once

#include <functional>
#include <optional>
#include <sys/types.h>

#include "config/config.h"
#include "testing/testing.h"

namespace updater::testing {

constexpr const char* USER_AGENT_BASE = "TestAgent";
constexpr const char* PRODUCT = "lumenta-x";
constexpr const char* SERIAL = "00000000c0ffee42";
constexpr const char* REVISION = "a02082";

// The device root every test of this binary works in, set up once: the
// identity (cpuinfo, EEPROM), the test CA in the trust store, host names and
// a resolver that fails at once. Aborts when not inside a device root.
struct DeviceRootSetup {
    std::string caDir; // ca.pem, server.pem, server.key: trusted
    std::string defaultUser;
    std::string defaultPassword;
};
const DeviceRootSetup& deviceRoot();

// One scripted server (tests/e2e/httpserver.py) on a fixed port of the
// private loopback; stopped on destruction.
class TestServer {
public:
    // `config` is the server's JSON configuration; its request log is added.
    TestServer(const std::string& config, unsigned port, const std::string& bind = "127.0.0.1");
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // One JSON line per request, in arrival order.
    std::vector<std::string> requests() const;

private:
    TemporaryDirectory m_dir;
    pid_t m_pid = -1;
};

// Fields of one request log line.
std::string requestPath(const std::string& line);
std::string requestHeader(const std::string& line, const std::string& name); // "" when absent

NetworkSettings testSettings(); // no proxy, the test user agent and product

// Runs `action` in a forked child (runInChild) with neon set up, after
// URLFetcher::initClass(settings) unless settings is empty.
ChildRun runChild(const std::function<bool()>& action, const std::optional<NetworkSettings>& settings = testSettings());

// A Downloader opened on `uri` downloading `path` to `file`.
bool downloadOnce(const std::string& uri, const std::string& path, const std::string& file, bool bypassCaches = false);

// Writes the network credentials file; an empty text removes it.
void writeCredentials(const std::string& entries);

// The user each request to `server` offered, "" where none.
std::vector<std::string> requestUsers(const TestServer& server);

// A download test's target in a temporary directory.
class DownloadTest : public ::testing::Test {
protected:
    std::string target() const { return m_dir.file("target"); }
    static bool exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }
    TemporaryDirectory m_dir;
};

} // namespace updater::testing
