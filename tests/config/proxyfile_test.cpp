#include <gtest/gtest.h>

#include "config/config.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

struct ProxyFileTest : ::testing::Test {
    // Reads `xml` as the proxy file into `network`.
    void read(const std::string& xml) { readProxyFile(network, dir.write("vrkproxy.conf", xml)); }

    static std::string proxyconf(const std::string& body) { return "<proxyconf>" + body + "</proxyconf>"; }

    TemporaryDirectory dir;
    LogCapture capture;
    NetworkSettings network;
};

TEST_F(ProxyFileTest, PortRange)
{
    struct {
        const char* text;
        unsigned port;
    } valid[] = {{"8080", 8080}, {"65534", 65534}, {"0", 0},  {"+80", 80},
                 {" 80", 80},    {"\t\n 443", 443}, {"00000000000000000000000080", 80}};
    for (const auto& c : valid) {
        SCOPED_TRACE(c.text);
        network = NetworkSettings();
        read(proxyconf(std::string("<proxy server='p' port='") + c.text + "'/>"));
        EXPECT_EQ(network.proxyServer, "p");
        EXPECT_EQ(network.proxyPort, c.port);
    }

    // Negative texts must not wrap around into valid ports, nor overflow.
    const char* invalid[] = {"65535", "-1", "80x", "-0", "- 1", "+-1", "-18446744073709551615",
                             "18446744073709551616", "4294967376", "99999999999999999999999", "80 ",
                             "0x50", " ", "+", "8 0"};
    for (const char* text : invalid) {
        SCOPED_TRACE(text);
        network = NetworkSettings();
        capture.clear();
        read(proxyconf(std::string("<proxy server='p' port='") + text + "'/>"));
        EXPECT_EQ(network.proxyServer, "");
        EXPECT_TRUE(capture.has(std::string("ERROR: invalid port number '") + text + "'"));
    }
}

TEST_F(ProxyFileTest, MissingOrEmptyServerAndPortStopReading)
{
    read(proxyconf("<proxy port='80'/>"));
    EXPECT_TRUE(capture.has("ERROR: no 'server' attribute in 'proxy' element"));

    capture.clear();
    read(proxyconf("<proxy server='' port='80'/>"));
    EXPECT_TRUE(capture.has("ERROR: no 'server' attribute in 'proxy' element"));

    capture.clear();
    read(proxyconf("<proxy server='p'/>"));
    EXPECT_TRUE(capture.has("ERROR: no 'port' attribute in 'proxy' element"));

    capture.clear();
    read(proxyconf("<proxy server='p' port=''/>"));
    EXPECT_TRUE(capture.has("ERROR: no 'port' attribute in 'proxy' element"));
    EXPECT_EQ(network.proxyServer, "");
}

TEST_F(ProxyFileTest, BypassIsOffOnlyForOffAndFalse)
{
    struct {
        const char* attribute;
        bool bypass;
    } cases[] = {{"", true},
                 {" bypassLocalNetwork='no'", true},
                 {" bypassLocalNetwork='OFF'", true},
                 {" bypassLocalNetwork=''", true},
                 {" bypassLocalNetwork='off'", false},
                 {" bypassLocalNetwork='false'", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attribute);
        network.bypassLocalNetwork = !c.bypass;
        read(proxyconf(std::string("<proxy server='p' port='1'") + c.attribute + "/>"));
        EXPECT_EQ(network.bypassLocalNetwork, c.bypass);
    }
}

TEST_F(ProxyFileTest, LaterValidElementReplacesEarlierOneWithItsOwnCredentials)
{
    read(proxyconf("<proxy server='a' port='1' username='ua' password='pa'/>"
                   "<group><proxy server='b' port='2' bypassLocalNetwork='false'/></group>"));
    EXPECT_TRUE(capture.has("WARNING: multiple proxy servers in configuration file, using last occurence"));
    EXPECT_EQ(network.proxyServer, "b");
    EXPECT_EQ(network.proxyPort, 2u);
    EXPECT_FALSE(network.bypassLocalNetwork);
    EXPECT_EQ(network.proxyUsername, "");
    EXPECT_EQ(network.proxyPassword, "");
}

TEST_F(ProxyFileTest, InvalidElementStopsReadingAndKeepsEarlierSettings)
{
    read(proxyconf("<proxy server='a' port='1' username='ua'/><proxy port='2'/><proxy server='c' port='3'/>"));
    EXPECT_TRUE(capture.has("ERROR: no 'server' attribute in 'proxy' element"));
    EXPECT_EQ(network.proxyServer, "a");
    EXPECT_EQ(network.proxyPort, 1u);
    EXPECT_EQ(network.proxyUsername, "ua");
    EXPECT_FALSE(capture.contains("'c'"));
}

TEST_F(ProxyFileTest, OnlyUnprefixedProxyElementsUnderProxyconfCount)
{
    read("<other><proxy server='a' port='1'/></other>");
    EXPECT_TRUE(capture.has("ERROR: bad top-level element, 'other' instead of 'proxyconf'"));
    EXPECT_EQ(network.proxyServer, "");

    read("<proxyconf xmlns:n='urn:n'><n:proxy server='a' port='1'/><proxy>"
         "<proxy server='inner' port='1'/></proxy></proxyconf>");
    // The outer proxy has no server; its subtree is never searched.
    EXPECT_TRUE(capture.has("ERROR: no 'server' attribute in 'proxy' element"));
    EXPECT_EQ(network.proxyServer, "");
}

TEST_F(ProxyFileTest, MissingEmptyOrMalformedFileLeavesNoProxy)
{
    readProxyFile(network, dir.file("absent"));
    EXPECT_EQ(network.proxyServer, "");
    EXPECT_FALSE(capture.contains("ERROR")) << capture.text();

    // The XML library's diagnostics only, through the log.
    capture.clear();
    read("");
    read("<proxyconf><proxy server='a' port='1'");
    EXPECT_EQ(network.proxyServer, "");
    EXPECT_FALSE(capture.lines().empty());
    for (const std::string& line : capture.lines())
        EXPECT_TRUE(line.starts_with("ERROR: XML error in '" + dir.file("vrkproxy.conf") + "' line 1: ")) << line;
}

TEST_F(ProxyFileTest, EntitiesAreSubstitutedInAttributes)
{
    read("<!DOCTYPE proxyconf [<!ENTITY host 'proxy.example'>]>"
         "<proxyconf><proxy server='&host;' port='3128'/></proxyconf>");
    EXPECT_EQ(network.proxyServer, "proxy.example");
    EXPECT_EQ(network.proxyPort, 3128u);
}

} // namespace
} // namespace updater::testing
