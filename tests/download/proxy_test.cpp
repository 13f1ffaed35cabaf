// The proxy decision: none configured, the proxy for every server, or the
// direct route to a server on a local network, pinned to its local
// addresses; and the proxy's own authentication.
#include <gtest/gtest.h>

#include <neon/ne_socket.h>

#include "download/downloader.h"
#include "download/networktest.h"
#include "log/logger.h"

namespace updater::testing {
namespace {

// Logs the lookups and connection attempts of the sessions.
class ConnectionLog : public URLFetcher::Notifier {
public:
    void notify(ne_session_status status, const ne_session_status_info* info) override
    {
        char address[64];
        if (status == ne_status_lookup)
            LOG(info, "test: looking up %s", info->lu.hostname);
        else if (status == ne_status_connecting)
            LOG(info, "test: connecting to %s", ne_iaddr_print(info->ci.address, address, sizeof address));
    }
};

class ProxyTest : public ::testing::Test {
protected:
    std::string target() const { return m_dir.file("target"); }

    static NetworkSettings proxied(bool bypass, const std::string& password = "proxy-pw")
    {
        NetworkSettings settings = testSettings();
        settings.proxyServer = "127.0.0.1";
        settings.proxyPort = 3128;
        settings.bypassLocalNetwork = bypass;
        settings.proxyUsername = "proxyuser";
        settings.proxyPassword = password;
        return settings;
    }

    ChildRun fetch(const std::string& uri, const NetworkSettings& settings) const
    {
        return runChild(
            [&] {
                ConnectionLog connections;
                Downloader downloader;
                if (!downloader.open(uri))
                    return false;
                downloader.setNotifier(&connections);
                return downloader.download("f", target(), false);
            },
            settings);
    }

    TemporaryDirectory m_dir;
};

constexpr const char* ORIGIN = R"({"routes": {"/repo/f": {"body": "from the origin"}}})";
constexpr const char* PROXY = R"({"proxy": {"users": {"proxyuser": "proxy-pw"},
    "hosts": {"updates.invalid:8080": "127.0.0.1:8080"}}})";

TEST_F(ProxyTest, GoesDirectWithoutAProxy)
{
    TestServer origin(ORIGIN, 8080);
    ChildRun run = fetch("http://repo.test:8080/repo", testSettings());
    EXPECT_EQ(run.exitCode, 0) << run.text();
    EXPECT_TRUE(run.has("DEBUG: no proxy configured"));
    EXPECT_FALSE(run.contains("failed resolving"));
    EXPECT_EQ(origin.requests().size(), 1u);
}

TEST_F(ProxyTest, UsesTheProxyWithItsCredentialsWhenBypassIsOff)
{
    TestServer origin(ORIGIN, 8080);
    TestServer proxy(PROXY, 3128);
    ChildRun run = fetch("http://repo.test:8080/repo", proxied(false));
    EXPECT_EQ(run.exitCode, 0) << run.text();
    EXPECT_EQ(readFile(target()), "from the origin");
    EXPECT_TRUE(run.has("DEBUG: using proxy for repo.test"));
    EXPECT_FALSE(run.contains("local"));
    std::vector<std::string> requests = proxy.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requestPath(requests[1]), "http://repo.test:8080/repo/f");
    EXPECT_EQ(requestUser(requests[0]), "");
    EXPECT_EQ(requestUser(requests[1]), "proxyuser");
    EXPECT_EQ(origin.requests().size(), 1u);
    EXPECT_FALSE(run.contains("proxy-pw"));
}

TEST_F(ProxyTest, TunnelsHttpsThroughTheProxy)
{
    const DeviceRootSetup& root = deviceRoot();
    TestServer origin(R"({"tls": {"cert": ")" + root.caDir + R"(/server.pem", "key": ")" + root.caDir +
                          R"(/server.key"}, "routes": {"/repo/f": {"body": "tunnelled"}}})",
                      8443);
    TestServer proxy(PROXY, 3128);
    ChildRun run = fetch("https://localhost:8443/repo", proxied(false));
    EXPECT_EQ(run.exitCode, 0) << run.text();
    EXPECT_EQ(readFile(target()), "tunnelled");
    ASSERT_FALSE(proxy.requests().empty());
    EXPECT_EQ(requestPath(proxy.requests().back()), "localhost:8443");
}

TEST_F(ProxyTest, BypassesTheProxyForALocalServer)
{
    TestServer origin(ORIGIN, 8080);
    TestServer proxy(PROXY, 3128);
    ChildRun run = fetch("http://repo.test:8080/repo", proxied(true));
    EXPECT_EQ(run.exitCode, 0) << run.text();
    EXPECT_TRUE(run.has("DEBUG: bypassing proxy since repo.test is local"));
    EXPECT_TRUE(run.has("INFO: test: connecting to 127.0.0.1"));
    EXPECT_FALSE(run.contains("test: looking up")); // pinned: no lookup of its own
    EXPECT_TRUE(proxy.requests().empty());
    EXPECT_EQ(origin.requests().size(), 1u);
}

TEST_F(ProxyTest, BypassesTheProxyForABracketedIpv6Literal)
{
    TestServer origin(ORIGIN, 8080, "::1");
    TestServer proxy(PROXY, 3128);
    ChildRun run = fetch("http://[::1]:8080/repo", proxied(true));
    EXPECT_EQ(run.exitCode, 0) << run.text();
    EXPECT_TRUE(run.has("DEBUG: bypassing proxy since [::1] is local"));
    EXPECT_TRUE(proxy.requests().empty());
}

// mixed.test has a local address where nothing listens and a remote one
// where the origin does: the direct route may only use the local one.
TEST_F(ProxyTest, PinsTheDirectRouteToTheLocalAddresses)
{
    TestServer origin(ORIGIN, 8080, "198.51.100.7");
    TestServer proxy(PROXY, 3128);
    ChildRun run = fetch("http://mixed.test:8080/repo", proxied(true));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.has("DEBUG: bypassing proxy since mixed.test is local")) << run.text();
    EXPECT_TRUE(run.has("INFO: test: connecting to 127.0.0.3"));
    EXPECT_FALSE(run.contains("connecting to 198.51.100.7"));
    EXPECT_TRUE(run.has("ERROR: failed fetching 'f' (could not connect to server)"));
    EXPECT_TRUE(origin.requests().empty());
    EXPECT_TRUE(proxy.requests().empty());
}

TEST_F(ProxyTest, FallsBackToTheProxyWhenTheHostDoesNotResolve)
{
    TestServer origin(ORIGIN, 8080);
    TestServer proxy(PROXY, 3128);
    ChildRun run = fetch("http://updates.invalid:8080/repo", proxied(true));
    EXPECT_EQ(run.exitCode, 0) << run.text();
    EXPECT_TRUE(run.contains("ERROR: failed resolving address 'updates.invalid' ("));
    EXPECT_TRUE(run.has("WARNING: could not check if addresses for host 'updates.invalid' are in local net, using "
                        "proxy"));
    EXPECT_TRUE(run.has("DEBUG: using proxy for updates.invalid"));
    ASSERT_FALSE(proxy.requests().empty());
    EXPECT_EQ(requestPath(proxy.requests().back()), "http://updates.invalid:8080/repo/f");
    EXPECT_EQ(readFile(target()), "from the origin");
}

TEST_F(ProxyTest, OffersRejectedProxyCredentialsOnce)
{
    TestServer origin(ORIGIN, 8080);
    TestServer proxy(PROXY, 3128);
    ChildRun run = fetch("http://repo.test:8080/repo", proxied(false, "wrong-pw"));
    EXPECT_EQ(run.exitCode, 1);
    std::vector<std::string> requests = proxy.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requestUser(requests[1]), "proxyuser");
    EXPECT_TRUE(run.has("ERROR: proxy authentication as user 'proxyuser' failed")) << run.text();
    EXPECT_TRUE(run.has("ERROR: failed fetching 'f' (authentication failed on proxy)"));
    EXPECT_TRUE(run.has("ERROR: make sure the proper username and password are configured in the proxy settings"));
    EXPECT_TRUE(origin.requests().empty());
    EXPECT_FALSE(run.contains("wrong-pw"));
}

} // namespace
} // namespace updater::testing
