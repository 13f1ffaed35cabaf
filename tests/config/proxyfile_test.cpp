
#include "config/config.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

// Reads `xml` as the proxy file; the settings it leaves and the log lines
// from info up.
std::pair<NetworkSettings, std::vector<std::string>> readProxy(const std::string& xml)
{
    TemporaryDirectory dir;
    LogCapture capture(LogLevel::info);
    NetworkSettings network;
    readProxyFile(network, dir.write("vrkproxy.conf", xml));
    return {network, capture.lines()};
}

TEST(ProxyFile, PortRange)
{
    const struct { const char* text; unsigned port; } valid[] = {
        {"8080", 8080}, {"65534", 65534}, {"0", 0}, {"+80", 80}, {" 80", 80}, {"\t\n 443", 443},
        {"00000000000000000000000080", 80}};
    for (const auto& c : valid) {
        auto [network, log] = readProxy(std::string("<proxyconf><proxy server='p' port='") + c.text + "'/></proxyconf>");
        EXPECT_EQ(network.proxyServer, "p") << c.text;
        EXPECT_EQ(network.proxyPort, c.port) << c.text;
    }
    // Negative texts must not wrap around into valid ports, nor overflow.
    for (const char* text : {"65535", "-1", "80x", "-0", "- 1", "+-1", "-18446744073709551615", "18446744073709551616",
                             "4294967376", "99999999999999999999999", "80 ", "0x50", " ", "+", "8 0"}) {
        auto [network, log] = readProxy(std::string("<proxyconf><proxy server='p' port='") + text + "'/></proxyconf>");
        EXPECT_EQ(network.proxyServer, "") << text;
        EXPECT_EQ(log, std::vector<std::string>{std::string("ERROR: invalid port number '") + text + "'"});
    }
}

TEST(ProxyFile, Elements)
{
    const std::string noServer = "ERROR: no 'server' attribute in 'proxy' element";
    const std::string noPort = "ERROR: no 'port' attribute in 'proxy' element";
    // body: inside "proxyconf".
    const struct { std::string body, server; bool bypass; std::string user; std::vector<std::string> log; } cases[] = {
        {"<proxy server='p' port='1' username='u' password='p w'/>", "p", true, "u", {}},
        {"<proxy port='80'/>", "", true, "", {noServer}},
        {"<proxy server='' port='80'/>", "", true, "", {noServer}},
        {"<proxy server='p'/>", "", true, "", {noPort}},
        {"<proxy server='p' port=''/>", "", true, "", {noPort}},
        {"<proxy server='p' port='1' bypassLocalNetwork='no'/>", "p", true, "", {}},
        {"<proxy server='p' port='1' bypassLocalNetwork='OFF'/>", "p", true, "", {}},
        {"<proxy server='p' port='1' bypassLocalNetwork=''/>", "p", true, "", {}},
        {"<proxy server='p' port='1' bypassLocalNetwork='off'/>", "p", false, "", {}},
        {"<proxy server='p' port='1' bypassLocalNetwork='false'/>", "p", false, "", {}},
        // A later valid element replaces the earlier one, credentials and all.
        {"<proxy server='a' port='1' username='ua' password='pa'/><group><proxy server='b' port='2'/></group>", "b",
         true, "", {"WARNING: multiple proxy servers in configuration file, using last occurence"}},
        // An invalid element stops the reading and keeps what was read.
        {"<proxy server='a' port='1' username='ua'/><proxy port='2'/><proxy server='c' port='3'/>", "a", true, "ua",
         {"WARNING: multiple proxy servers in configuration file, using last occurence", noServer}},
        // Prefixed elements do not count; the subtree of a proxy is never searched.
        {"<n:proxy xmlns:n='urn:n' server='a' port='1'/><proxy><proxy server='inner' port='1'/></proxy>", "", true,
         "", {noServer}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        auto [network, log] = readProxy("<proxyconf>" + c.body + "</proxyconf>");
        EXPECT_EQ(network.proxyServer, c.server);
        EXPECT_EQ(network.bypassLocalNetwork, c.bypass);
        EXPECT_EQ(network.proxyUsername, c.user);
        EXPECT_EQ(log, c.log);
    }
}

TEST(ProxyFile, Documents)
{
    auto [other, otherLog] = readProxy("<other><proxy server='a' port='1'/></other>");
    EXPECT_EQ(other.proxyServer, "");
    EXPECT_EQ(otherLog, std::vector<std::string>{"ERROR: bad top-level element, 'other' instead of 'proxyconf'"});
    auto [entity, entityLog] = readProxy("<!DOCTYPE proxyconf [<!ENTITY host 'proxy.example'>]>"
                                         "<proxyconf><proxy server='&host;' port='3128'/></proxyconf>");
    EXPECT_EQ(entity.proxyServer, "proxy.example");

    NetworkSettings network;
    LogCapture capture(LogLevel::info);
    readProxyFile(network, "/nonexistent/vrkproxy.conf");
    EXPECT_EQ(capture.text(), "");
    // The XML library's diagnostics only, through the log.
    for (const char* xml : {"", "<proxyconf><proxy server='a' port='1'"}) {
        auto [broken, log] = readProxy(xml);
        EXPECT_EQ(broken.proxyServer, "");
        ASSERT_FALSE(log.empty());
        for (const std::string& line : log)
            EXPECT_TRUE(line.starts_with("ERROR: XML error in '") && line.find("' line 1: ") != std::string::npos)
                << line;
    }
}

} // namespace
} // namespace updater::testing
