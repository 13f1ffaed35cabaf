// Runs inside a throwaway device root: it writes the USB source paths and the
// proxy file at their fixed places.
#include "config/config.h"

#include <syslog.h>

#include "testing/testing.h"

namespace updater::testing {
namespace {

struct ConfigTest : ::testing::Test {
    void SetUp() override
    {
        requireDeviceRoot();
        for (const char* path : {USB_REPOSITORY_PATH, LEGACY_USB_REPOSITORY_PATH, PROXY_FILE})
            fs::remove_all(path);
    }

    bool parse(Config& config, const std::string& xml, bool isDefaults = false)
    {
        return parseConfigFile(config, dir.write(isDefaults ? "defaults.conf" : "updater.conf", xml), isDefaults);
    }

    static std::vector<std::string> ids(const Config& config)
    {
        std::vector<std::string> result;
        for (const Repository& repository : config.repositories)
            result.push_back(repository.id);
        return result;
    }

    TemporaryDirectory dir;
    LogCapture capture;
};

using Strings = std::vector<std::string>;

TEST_F(ConfigTest, UsbSourceFallsBackToLegacyPathOnlyWhenTheCurrentOneDoesNotExist)
{
    fs::create_directories(LEGACY_USB_REPOSITORY_PATH);
    EXPECT_EQ(Config().repositories.front().location, LEGACY_USB_REPOSITORY_PATH);
    EXPECT_TRUE(capture.has("WARNING: falling back to legacy USB update source '/media/usb1/updates'"));

    capture.clear();
    fs::create_directories(USB_REPOSITORY_PATH);
    EXPECT_EQ(Config().repositories.front().location, USB_REPOSITORY_PATH);

    // Any other failure than ENOENT (here ENOTDIR) keeps the current path.
    fs::rename("/var/lib/updater", "/var/lib/updater.saved");
    writeFile("/var/lib/updater", "");
    std::string location = Config().repositories.front().location;
    fs::remove("/var/lib/updater");
    fs::rename("/var/lib/updater.saved", "/var/lib/updater");
    EXPECT_EQ(location, USB_REPOSITORY_PATH);
    EXPECT_EQ(capture.text(), "");
}

TEST_F(ConfigTest, FileLevelFailures)
{
    Config config;
    EXPECT_FALSE(parseConfigFile(config, dir.file("absent.conf"), false));
    EXPECT_TRUE(capture.has("ERROR: could not open configuration file '" + dir.file("absent.conf") + "'"));

    EXPECT_FALSE(parse(config, "<config><log level='debug'/></config>"));
    EXPECT_TRUE(capture.has("ERROR: bad top-level element, 'config' instead of 'updater'"));
    EXPECT_FALSE(parse(config, "<u:updater xmlns:u='urn:u'/>"));
    EXPECT_TRUE(capture.has("ERROR: bad top-level element, 'u:updater' instead of 'updater'"));
    EXPECT_EQ(config.logLevel, LogLevel::info);

    // Malformed XML: the XML library's one line, through the log, naming the
    // file and the line; this reader adds nothing.
    capture.clear();
    EXPECT_FALSE(parse(config, "<updater>\n<log level='debug'>\x01</updater>"));
    EXPECT_EQ(capture.lines().size(), 1u) << capture.text();
    EXPECT_TRUE(capture.text().starts_with("ERROR: XML error in '" + dir.file("updater.conf") + "' line 2: "))
        << capture.text();
}

TEST_F(ConfigTest, RepositoryDefinition)
{
    Config config;
    ASSERT_TRUE(parse(config, "<updater><repository id='main'><name>Main &amp; more</name>"
                              "<location href='http://old'/><location href='https://repo.example/os'/>"
                              "</repository></updater>"));
    const Repository* main = findRepository(config, "main");
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->name + " at " + main->location, "Main & more at https://repo.example/os");
    EXPECT_TRUE(main->enabled && !main->isDefault);
    EXPECT_EQ(findRepository(config, "Main"), nullptr);
    // ndq200 in the defaults is base.
    ASSERT_TRUE(parse(config, "<updater><repository id='ndq200'><location href='/x'/></repository></updater>", true));
    EXPECT_EQ(findRepository(config, "ndq200"), nullptr);
    ASSERT_NE(findRepository(config, "base"), nullptr);
    EXPECT_TRUE(findRepository(config, "base")->isDefault && findRepository(config, "base")->name.empty());

    // An empty id is an id like any other.
    ASSERT_TRUE(parse(config, "<updater><repository id=''><location href='/r'/></repository></updater>"));
    ASSERT_NE(findRepository(config, ""), nullptr);
}

TEST_F(ConfigTest, EnabledOnlyForExactlyTrueOrNoAttribute)
{
    struct { const char* attribute; bool enabled; } cases[] = {
        {"", true}, {" enabled='true'", true}, {" enabled='TRUE'", false}, {" enabled='yes'", false},
        {" enabled=''", false}, {" enabled=' true'", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attribute);
        Config config;
        ASSERT_TRUE(parse(config, std::string("<updater><repository id='r'") + c.attribute +
                                      "><location href='/r'/></repository></updater>"));
        EXPECT_EQ(findRepository(config, "r")->enabled, c.enabled);
    }
}

// Elements count at any depth, and in a default namespace, but never with a
// prefix or in another namespace than their parent.
TEST_F(ConfigTest, ElementsAreRecognisedAnywhereButNotWithAPrefix)
{
    Config config;
    ASSERT_TRUE(parse(config, "<updater xmlns:x='urn:x'><section><repository id='deep'><location href='/d'/>"
                              "<repository id='nested'><location href='/n'/></repository></repository></section>"
                              "<x:repository id='prefixed'><x:location href='/p'/></x:repository><x:log level='debug'/>"
                              "<log><x:logger type='stderr'/></log><product><x:packages><release/></x:packages>"
                              "<packages><x:release/></packages></product></updater>"));
    EXPECT_EQ(ids(config), (Strings{"local-usb", "deep", "nested"}));
    EXPECT_EQ(config.logLevel, LogLevel::info);
    EXPECT_FALSE(config.logToStderr);
    Config inNamespace;
    ASSERT_TRUE(parse(inNamespace, "<updater xmlns='urn:d'><repository id='d'><location href='/d'/></repository>"
                                   "<user-agent><base>B</base></user-agent></updater>"));
    EXPECT_EQ(ids(inNamespace), (Strings{"local-usb", "d"}));
    EXPECT_EQ(inNamespace.network.userAgentBase, "B");
}

TEST_F(ConfigTest, RepositoryMergeAndOrderAcrossDefaultsAndConfigurationFile)
{
    Config config;
    ASSERT_TRUE(parse(config,
                      "<updater><repository id='base'><name>A</name><location href='/a'/></repository>"
                      "<repository id='local-usb' enabled='true'><location href='/usb'/></repository>"
                      "<repository id='base'><name>B</name><location href='/b'/></repository></updater>",
                      true));
    EXPECT_EQ(ids(config), (Strings{"local-usb", "base"}));
    EXPECT_EQ(findRepository(config, "base")->name, "B");
    EXPECT_EQ(findRepository(config, "local-usb")->location, "/usb");

    // The configuration file redefines each default once, moving it to the end.
    const Repository* usbBefore = &*std::next(config.repositories.begin());
    ASSERT_TRUE(parse(config, "<updater><repository id='local-usb' enabled='false'><location href='/usb2'/>"
                              "</repository><repository id='extra'><location href='/e'/></repository></updater>"));
    EXPECT_EQ(ids(config), (Strings{"base", "local-usb", "extra"}));
    EXPECT_EQ(findRepository(config, "base"), usbBefore) << "records of other repositories stay in place";
    EXPECT_FALSE(findRepository(config, "local-usb")->isDefault);

    // A second definition in the configuration file fails it; ndq200 counts as base.
    capture.clear();
    EXPECT_FALSE(parse(config, "<updater><repository id='base'><location href='/c'/></repository>"
                               "<repository id='ndq200'><location href='/d'/></repository></updater>"));
    EXPECT_TRUE(capture.has("ERROR: more than one repository with same ID"));
    EXPECT_EQ(findRepository(config, "base")->location, "/c");
    EXPECT_EQ(ids(config), (Strings{"local-usb", "extra", "base"}));
}

TEST_F(ConfigTest, LogLevelAndOutputs)
{
    Config config;
    ASSERT_TRUE(parse(config, "<updater><log level='debug'><logger type='stderr'/></log></updater>", true));
    EXPECT_EQ(config.logLevel, LogLevel::debug);
    EXPECT_TRUE(config.logToStderr && !config.logToSyslog);

    // Outputs accumulate; an empty level keeps the earlier one.
    ASSERT_TRUE(parse(config, "<updater xmlns:o='urn:o'><log level=''><logger type='syslog'>"
                              "<facility>user</facility><o:facility>local3</o:facility></logger>"
                              "<logger type='file'/></log></updater>"));
    EXPECT_EQ(config.logLevel, LogLevel::debug);
    EXPECT_TRUE(config.logToStderr && config.logToSyslog);
    EXPECT_EQ(config.syslogFacility, LOG_LOCAL3);

    ASSERT_TRUE(parse(config, "<updater><log level='verbose'><logger type='syslog'><facility>kern</facility>"
                              "</logger></log></updater>"));
    EXPECT_TRUE(capture.has("ERROR: unrecognized logger level 'verbose' using 'info'"));
    EXPECT_TRUE(capture.has("ERROR: unrecognized syslog facility 'kern' using 'daemon'"));
    EXPECT_EQ(config.logLevel, LogLevel::info);
    EXPECT_EQ(config.syslogFacility, LOG_DAEMON);
}

TEST_F(ConfigTest, ProductNamesReleaseAndAddons)
{
    Config config;
    ASSERT_TRUE(parse(config, "<updater><product><name>Base</name><packages>"
                              "<release><package><name>rel-a</name></package></release>"
                              "<addons><package><name>a1</name><name>a2</name></package>"
                              "<group><name>g1</name></group></addons></packages></product></updater>",
                      true));
    ASSERT_TRUE(parse(config, "<updater xmlns:o='urn:o'><product><name>Device</name><packages>\n"
                              "<release>\n<o:package><o:name>rel-b</o:name></o:package>\n"
                              "<group><name>Apps</name></group></release>\n"
                              "<addons><o:package><name>a1</name></o:package><o:group><o:name>g2</o:name></o:group>"
                              "</addons></packages></product></updater>"));
    EXPECT_EQ(config.productName, "Device");
    EXPECT_EQ(config.releasePackage, "rel-b");
    EXPECT_EQ(config.addonPackages, (Strings{"a1", "a2", "a1"}));
    EXPECT_EQ(config.addonGroups, (Strings{"g1", "g2"}));
    EXPECT_TRUE(capture.has("WARNING: ignoring package group named 'Apps' in config file line 4"));
}

// A failing element fails the file and leaves nothing of itself behind.
TEST_F(ConfigTest, FailingElements)
{
    // body: inside "updater"; logged: a part of the lines logged; addons: what the add-on list keeps.
    const struct { std::string body, logged; Strings addons = {}; } cases[] = {
        {"<repository><location href='/r'/></repository>", "ERROR: no 'id' attribute in 'repository' element"},
        {"<repository id='r'><location/></repository>", "ERROR: no 'href' attribute in 'location' element"},
        {"<repository id='r'><name>n</name></repository>", "ERROR: no URI for repository 'r'"},
        {"<repository id='r'><location href='/r'/><location href=''/></repository>", "ERROR: no URI for repository 'r'"},
        {"<repository id='r'><name/><location href='/r'/></repository>", ""},
        // Children in another namespace than the repository's do not count.
        {"<repository id='r' xmlns:o='urn:o'><o:location href='/r'/></repository>", "ERROR: no URI for repository 'r'"},
        {"<log><logger/></log>", ""},
        {"<log><logger type='syslog'/></log>", ""},
        {"<log><logger type='syslog'><facility>user</facility><facility/></logger></log>", ""},
        {"<log><logger type='syslog'><facility><x>user</x></facility></logger></log>", ""},
        {"<product><packages><release/></packages></product>", ""},
        {"<product><packages><release><group><name>g</name></group></release></packages></product>", ""},
        {"<product><packages><release><package><name>a</name><name>b</name></package></release></packages></product>", ""},
        {"<product><packages><release><package><name>a</name></package><package><name>b</name></package></release></packages></product>", ""},
        {"<product><packages><release><package><name/></package></release></packages></product>", ""},
        {"<product><packages><addons><package><name>a</name><name></name></package></addons></packages></product>", "", {"a"}},
        {"<product><name/></product>", ""},
        {"<user-agent><base></base></user-agent>", ""},
        {"<user-agent><base>b</base><prodname/></user-agent>", ""},
        {"<metadata><allow-rollback>true</allow-rollback><max-age-days>seven</max-age-days></metadata>",
         "ERROR: invalid value 'seven' for 'max-age-days' in configuration file, expected 0 to 36500\n"},
        {"<metadata><max-age-days>36501</max-age-days></metadata>", "'36501' for 'max-age-days'"},
        {"<metadata><max-age-days>-1</max-age-days></metadata>", "'-1' for 'max-age-days'"},
        {"<metadata><refuse-stale/></metadata>", ""},
        // Counts are plain decimal digits within their range; seconds are never 0.
        {"<download><read-timeout>0</read-timeout></download>", "ERROR: invalid value '0' for 'read-timeout' in 'download' element\n"},
        {"<download><connect-timeout>86401</connect-timeout></download>", "'86401' for 'connect-timeout'"},
        {"<download><low-speed-limit>-1</low-speed-limit></download>", "'-1' for 'low-speed-limit'"},
        {"<download><metadata-deadline> 60</metadata-deadline></download>", "' 60' for 'metadata-deadline'"},
        {"<download><max-repomd-size>18446744073709551616</max-repomd-size></download>",
         "'18446744073709551616' for 'max-repomd-size'"},
        {"<download><low-speed-time/></download>", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        capture.clear();
        Config config;
        config.releasePackage = "before";
        EXPECT_FALSE(parse(config, "<updater>" + c.body + "</updater>"));
        EXPECT_TRUE(c.logged.empty() || capture.contains(c.logged)) << capture.text();
        EXPECT_EQ(findRepository(config, "r"), nullptr);
        EXPECT_FALSE(config.logToSyslog);
        EXPECT_EQ(config.releasePackage, "before");
        EXPECT_EQ(config.addonPackages, c.addons);
        EXPECT_FALSE(config.allowMetadataRollback);
        EXPECT_EQ(config.maxMetadataAgeDays, 0u);
    }
}

} // namespace
} // namespace updater::testing
