#include "repo/packageparser.h"

#include "repotesting.h"

namespace updater::testing {
namespace {

class PrimaryTest : public ServedRepository {
protected:
    bool parse(const std::string& document)
    {
        data = std::make_unique<RepositoryData>(config, repository);
        return data->parsePrimary(dir.write("primary.xml", document));
    }

    bool parsePackages(const std::string& packages) { return parse(primaryDocument(packages)); }

    std::unique_ptr<RepositoryData> data;
};

TEST_F(PrimaryTest, EntriesAreFilteredAndKeptOnce)
{
    PackageXml xml;
    xml.version = R"(<version epoch="+7" ver="1.2"/>)";
    xml.location = R"(<location href="a&amp;b&#x2b;.rpm"/>)"; // references in attributes are decoded
    xml.requires_ = R"x(<rpm:requires>
        <rpm:entry name="rpmlib(PayloadFilesHavePrefix)" flags="LE" epoch="0" ver="4.0" rel="1"/>
        <rpm:entry name="weak" missingok="1"/>
        <rpm:entry name="strong" missingok="0"/>
        <rpm:entry name="unversioned" flags="EQ"/>
        <rpm:entry name="twice" flags="GE" epoch="0" ver="2"/>
        <rpm:entry name="twice" flags="GE" epoch="0" ver="2"/>
        <entry name="other-namespace"/>
        <rpm:other name="not-an-entry"/>
      </rpm:requires>)x";
    ASSERT_TRUE(parsePackages(xml.str()));
    ASSERT_EQ(data->packages().size(), 1u);
    const Package& package = data->packages().begin()->second;
    EXPECT_EQ(package.evr.toString(), "7:1.2");
    EXPECT_EQ(package.location.view(), "a&b+.rpm");
    EXPECT_EQ(texts(package.requires_), (std::vector<std::string>{"strong", "twice >= 0:2", "unversioned"}));
    EXPECT_EQ(package.requires_.firstOfName("unversioned")->flags, 0);
}

TEST_F(PrimaryTest, PackagesOfOneNameKeepTheMetadataOrder)
{
    std::string packages;
    for (const char* version : {"2.0", "1.0", "3.0"}) {
        PackageXml xml;
        xml.version = std::string(R"(<version epoch="0" ver=")") + version + R"("/>)";
        packages += xml.str();
    }
    PackageXml other;
    other.name = "<name>aaa</name>";
    ASSERT_TRUE(parsePackages(packages + other.str()));
    EXPECT_EQ(labels(data->packages()), (std::vector<std::string>{"aaa-0:1.0-1", "foo-0:2.0", "foo-0:1.0", "foo-0:3.0"}));
}

// An arch is scored by rpm, and only when it is a plain word: rpm's macro
// expansion would run "%(...)" as a shell command.
TEST_F(PrimaryTest, PackagesForOtherArchesAreDroppedWithAWarning)
{
    std::string marker = dir.file("expanded");
    struct { std::string arch; bool kept; } cases[] = {
        {"<arch>noarch</arch>", true}, {"<arch>x86_64</arch>", true}, {"<arch>s390x</arch>", false}, {"", false},
        {"<arch>%(touch " + marker + ")</arch>", false}, {"<arch>%{_arch}</arch>", false}, {"<arch>x86_64 </arch>", false}};
    for (const auto& c : cases) {
        PackageXml xml;
        xml.arch = c.arch;
        xml.location = R"(<location href="dir/foo.rpm"/>)";
        LogCapture capture;
        ASSERT_TRUE(parsePackages(xml.str())) << c.arch;
        EXPECT_EQ(data->packages().size(), c.kept ? 1u : 0u) << c.arch;
        std::string text = c.arch.empty() ? "" : c.arch.substr(6, c.arch.size() - 13);
        EXPECT_EQ(capture.has("WARNING: skipping package 'foo.rpm' of non-compatible arch '" + text + "'"), !c.kept)
            << capture.text();
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
}

struct Rejection { const char* rule; std::string packages; };

PackageXml with(std::string PackageXml::*part, std::string value)
{
    PackageXml xml;
    xml.*part = std::move(value);
    return xml;
}

std::string entry(const std::string& attributes)
{
    return "<rpm:requires><rpm:entry " + attributes + "/></rpm:requires>";
}

TEST_F(PrimaryTest, OneBadPackageFailsTheWholeDocument)
{
    LogCapture every; // debug lines too: their texts come from the bad package
    const PackageXml good;
    const std::string version = R"(<version epoch="0" ver="1"/>)";
    const Rejection cases[] = {
        {"second name", with(&PackageXml::name, "<name>a</name><name>b</name>").str()},
        {"second arch", with(&PackageXml::arch, "<arch>noarch</arch><arch>noarch</arch>").str()},
        {"second version", with(&PackageXml::version, version + version).str()},
        {"second location", with(&PackageXml::location, good.location + good.location).str()},
        {"second checksum", with(&PackageXml::checksum, good.checksum + good.checksum).str()},
        {"second group", with(&PackageXml::group, good.group + good.group).str()},
        {"no name", with(&PackageXml::name, "").str()},
        {"empty name", with(&PackageXml::name, "<name/>").str()},
        {"no version", with(&PackageXml::version, "").str()},
        {"no location", with(&PackageXml::location, "").str()},
        {"location without href", with(&PackageXml::location, "<location/>").str()},
        {"no checksum", with(&PackageXml::checksum, "").str()},
        {"checksum without type", with(&PackageXml::checksum, "<checksum>00</checksum>").str()},
        {"no children", R"(<package type="rpm"/>)"},
        {"epoch too large", with(&PackageXml::version, R"(<version epoch="2147483647" ver="1"/>)").str()},
        {"negative epoch", with(&PackageXml::version, R"(<version epoch="-1" ver="1"/>)").str()},
        {"epoch with trailing text", with(&PackageXml::version, R"(<version epoch="1a" ver="1"/>)").str()},
        {"empty epoch", with(&PackageXml::version, R"(<version epoch="" ver="1"/>)").str()},
        {"no epoch", with(&PackageXml::version, R"(<version ver="1" rel="1"/>)").str()},
        {"no ver", with(&PackageXml::version, R"(<version epoch="0" rel="1"/>)").str()},
        {"entry without name", with(&PackageXml::requires_, entry(R"(flags="EQ")")).str()},
        {"entry with bad epoch", with(&PackageXml::requires_, entry(R"(name="a" flags="EQ" epoch="x" ver="1")")).str()},
        {"versioned entry without flags", with(&PackageXml::requires_, entry(R"(name="a" epoch="0" ver="1")")).str()},
        {"unknown flags", with(&PackageXml::requires_, entry(R"(name="a" flags="NE" epoch="0" ver="1")")).str()},
        {"missingok not a number", with(&PackageXml::requires_, entry(R"(name="a" missingok="yes")")).str()},
        {"missingok in a namespace", with(&PackageXml::requires_, entry(R"(name="a" rpm:missingok="1")")).str()},
        {"malformed XML", good.str() + "<package type=\"rpm\"><name>x</nam></package>"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(parsePackages(good.str() + c.packages)) << c.rule;
        EXPECT_TRUE(data->packages().empty()) << c.rule;
    }
}

TEST_F(PrimaryTest, RootMustBeMetadataInTheCommonNamespace)
{
    LogCapture capture;
    EXPECT_FALSE(parse("<metadata><package type=\"rpm\"/></metadata>"));
    EXPECT_TRUE(capture.has("ERROR: bad top-level element, 'metadata' instead of 'metadata'"));
    EXPECT_FALSE(parse(R"(<repomd xmlns="http://linux.duke.edu/metadata/common"/>)"));
    EXPECT_TRUE(capture.has("ERROR: bad top-level element, 'repomd' instead of 'metadata'"));
    EXPECT_FALSE(data->parsePrimary(dir.file("missing.xml")));
    EXPECT_TRUE(capture.has("ERROR: could not open primary file '" + dir.file("missing.xml") + "' for parsing"));
}

// Repository documents are read without entity substitution from outside:
// an external entity must neither pull a local file into a field nor make
// the parse read without end. Nested entities, or one large entity referred
// to many times, would expand one field to gigabytes: both are bounded.
TEST_F(PrimaryTest, EntitiesFromOutsideAreNeverReadAndExpansionIsBounded)
{
    const std::string open = R"(<metadata xmlns="http://linux.duke.edu/metadata/common" xmlns:rpm="http://linux.duke.edu/metadata/rpm">)";
    std::string secret = dir.write("secret", "SECRET-CONTENT");
    std::string head = "<!DOCTYPE metadata [\n<!ENTITY secret SYSTEM \"file://" + secret +
                       "\">\n<!ENTITY zero SYSTEM \"/dev/zero\">\n]>\n" + open;
    PackageXml inGroup = with(&PackageXml::group, "<rpm:group>x&secret;y</rpm:group>");
    inGroup.extra = "<description>&zero;</description>";
    ASSERT_TRUE(parse(head + inGroup.str() + "</metadata>"));
    ASSERT_EQ(data->packages().size(), 1u);
    EXPECT_EQ(data->packages().begin()->second.group.view(), "xy");
    EXPECT_FALSE(parse(head + with(&PackageXml::name, "<name>&secret;</name>").str() + "</metadata>"));
    EXPECT_FALSE(parse(head + with(&PackageXml::location, "<location href=\"&secret;\"/>").str() + "</metadata>"));
    EXPECT_FALSE(parse(head + with(&PackageXml::name, "<name>&zero;</name>").str() + "</metadata>"));

    std::string body = open + PackageXml{}.str() + "</metadata>";
    EXPECT_TRUE(parse("<!DOCTYPE metadata SYSTEM \"/dev/zero\">\n" + body));
    EXPECT_TRUE(parse("<!DOCTYPE metadata [<!ENTITY % zero SYSTEM \"/dev/zero\"> %zero;]>\n" + body));

    std::string lol = "<!DOCTYPE metadata [\n<!ENTITY l0 \"lollollollollollollollollollol\">\n";
    for (int i = 1; i <= 9; ++i) {
        std::string refs;
        for (int j = 0; j < 10; ++j)
            refs += "&l" + std::to_string(i - 1) + ";";
        lol += "<!ENTITY l" + std::to_string(i) + " \"" + refs + "\">\n";
    }
    EXPECT_FALSE(parse(lol + "]>\n" + open + with(&PackageXml::name, "<name>&l9;</name>").str() + "</metadata>"));
    std::string repeated;
    for (int j = 0; j < 20000; ++j)
        repeated += "&big;";
    EXPECT_FALSE(parse("<!DOCTYPE metadata [\n<!ENTITY big \"" + std::string(100000, 'x') + "\">\n]>\n" + open +
                       with(&PackageXml::name, "<name>" + repeated + "</name>").str() + "</metadata>"));
}

} // namespace
} // namespace updater::testing
