// The proxy decision: none configured, the proxy for every server, or the
// direct route to a server on a local network, pinned to its local
// addresses; and the proxy's own authentication.

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

NetworkSettings proxied(bool bypass, const std::string& password = "proxy-pw")
{
    NetworkSettings settings = testSettings();
    settings.proxyServer = "127.0.0.1";
    settings.proxyPort = 3128;
    settings.bypassLocalNetwork = bypass;
    settings.proxyUsername = "proxyuser";
    settings.proxyPassword = password;
    return settings;
}

std::string origin(const std::string& body, const std::string& tls = "")
{
    return "{" + tls + R"("routes": {"/repo/f": {"body": ")" + body + R"("}}})";
}

TEST(Proxy, DecisionRouteAndCredentials)
{
    const std::string ca = deviceRoot().caDir;
    const std::string tls = R"("tls": {"cert": ")" + ca + R"(/server.pem", "key": ")" + ca + R"(/server.key"}, )";
    // The origin server's configuration and address (port 8443 with TLS, else 8080); what the download gets
    // (null: it fails); parts of lines that must be logged and must not; the user each request to the proxy
    // offered; the last request's target at the proxy; the requests the origin got.
    const struct {
        const char* name; std::string origin, bind, uri; NetworkSettings settings; const char* body;
        std::vector<std::string> logged, absent, proxyUsers; std::string proxied; size_t originRequests;
    } cases[] = {
        {"no proxy", origin("o"), "127.0.0.1", "http://repo.test:8080/repo", testSettings(), "o", {}, {"failed resolving"},
         {}, "", 1},
        {"bypass off: the proxy, with credentials", origin("o"), "127.0.0.1", "http://repo.test:8080/repo",
         proxied(false), "o", {}, {"local", "proxy-pw"}, {"", "proxyuser"}, "http://repo.test:8080/repo/f", 1},
        {"https tunnelled", origin("t", tls), "127.0.0.1", "https://localhost:8443/repo", proxied(false), "t", {}, {},
         {"", "proxyuser"}, "localhost:8443", 1},
        {"bypass on, a local host: direct, pinned", origin("o"), "127.0.0.1", "http://repo.test:8080/repo",
         proxied(true), "o", {"INFO: test: connecting to 127.0.0.1\n"}, {"test: looking up"}, {}, "", 1},
        {"bypass on, a bracketed IPv6 literal", origin("o"), "::1", "http://[::1]:8080/repo", proxied(true), "o", {},
         {}, {}, "", 1},
        // mixed.test has a local address where nothing listens and a remote
        // one where the origin does: the direct route may only use the local one.
        {"bypass on, only the local addresses", origin("o"), "198.51.100.7", "http://mixed.test:8080/repo",
         proxied(true), nullptr, {"INFO: test: connecting to 127.0.0.3\n",
         "ERROR: failed fetching 'f' (could not connect to server)\n"}, {"connecting to 198.51.100.7"}, {}, "", 0},
        {"bypass on, a host that does not resolve: the proxy", origin("o"), "127.0.0.1",
         "http://updates.invalid:8080/repo", proxied(true), "o",
         {"WARNING: could not check if addresses for host 'updates.invalid' are in local net, using proxy\n",
          "ERROR: failed resolving address 'updates.invalid' ("}, {}, {"", "proxyuser"},
         "http://updates.invalid:8080/repo/f", 1},
        {"rejected credentials offered once", origin("o"), "127.0.0.1", "http://repo.test:8080/repo",
         proxied(false, "wrong-pw"), nullptr,
         {"ERROR: proxy authentication as user 'proxyuser' failed\n", "ERROR: failed fetching 'f' (authentication failed on proxy)\n",
          "ERROR: make sure the proper username and password are configured in the proxy settings\n"},
         {"wrong-pw"}, {"", "proxyuser"}, "http://repo.test:8080/repo/f", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryDirectory dir;
        const std::string target = dir.file("target");
        TestServer server(c.origin, c.origin.find("tls") == std::string::npos ? 8080 : 8443, c.bind);
        TestServer proxy(R"({"proxy": {"users": {"proxyuser": "proxy-pw"},
            "hosts": {"updates.invalid:8080": "127.0.0.1:8080"}}})", 3128);
        ChildRun run = runChild(
            [&] {
                ConnectionLog connections;
                Downloader downloader;
                if (!downloader.open(c.uri))
                    return false;
                downloader.setNotifier(&connections);
                return downloader.download("f", target, false);
            },
            c.settings);
        EXPECT_EQ(run.exitCode, c.body ? 0 : 1) << run.text();
        if (c.body) {
            EXPECT_EQ(readFile(target), c.body);
        }
        for (const std::string& part : c.logged)
            EXPECT_TRUE(run.contains(part)) << part << "\n" << run.text();
        for (const std::string& part : c.absent)
            EXPECT_FALSE(run.contains(part)) << part;
        EXPECT_EQ(requestUsers(proxy), c.proxyUsers);
        if (!c.proxied.empty() && !proxy.requests().empty()) {
            EXPECT_EQ(requestPath(proxy.requests().back()), c.proxied);
        }
        EXPECT_EQ(server.requests().size(), c.originRequests);
    }
}

} // namespace
} // namespace updater::testing
