#include "repo/packageparser.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "repotesting.h"
#include "repo/repositorydata.h"
#include "testing/testing.h"

using namespace updater;
using updater::testing::LogCapture;
using updater::testing::PackageXml;
using updater::testing::primaryDocument;
using updater::testing::texts;
using updater::testing::TemporaryDirectory;

namespace {

const auto* rpmConfig = ::testing::AddGlobalTestEnvironment(new updater::testing::RpmConfig);

class PrimaryTest : public ::testing::Test {
protected:
    PrimaryTest()
    {
        config.cacheDir = dir.path() + "/";
        repository.id = "base";
        repository.location = "/srv/repo";
    }

    bool parse(const std::string& document)
    {
        data = std::make_unique<RepositoryData>(config, repository);
        return data->parsePrimary(dir.write("primary.xml", document));
    }

    bool parsePackages(const std::string& packages) { return parse(primaryDocument(packages)); }

    // The only package loaded from a document holding `xml`.
    const Package& only(const PackageXml& xml)
    {
        static const Package none;
        if (!parsePackages(xml.str()) || data->packages().size() != 1) {
            ADD_FAILURE() << "expected one package from " << xml.str();
            return none;
        }
        return data->packages().begin()->second;
    }

    TemporaryDirectory dir;
    Config config;
    Repository repository;
    std::unique_ptr<RepositoryData> data;
};

TEST_F(PrimaryTest, ReadsTheRecordOfAPackage)
{
    PackageXml xml;
    xml.location = R"(<location href="sub/dir/foo-1.0-1.noarch.rpm"/>)";
    xml.version = R"(<version epoch="3" ver="1.0" rel="1.el9"/>)";
    xml.requires_ = R"(<rpm:requires><rpm:entry name="bar" flags="GE" epoch="0" ver="2"/><rpm:entry name="/bin/sh"/>)"
                    R"(<rpm:entry name="baz" flags="LT" epoch="1" ver="3" rel="4"/></rpm:requires>)";
    xml.obsoletes = R"(<rpm:obsoletes><rpm:entry name="oldfoo" flags="LE" epoch="0" ver="0.9"/></rpm:obsoletes>)";
    const Package& package = only(xml);
    EXPECT_EQ(package.name.view(), "foo");
    EXPECT_EQ(package.label(), "foo-3:1.0-1.el9");
    EXPECT_EQ(package.group.view(), "Tools");
    EXPECT_EQ(package.location.view(), "sub/dir/foo-1.0-1.noarch.rpm");
    EXPECT_EQ(package.localPath.view(), dir.path() + "/base/packages/foo-1.0-1.noarch.rpm");
    EXPECT_EQ(package.checksum.type.view(), "sha256");
    EXPECT_EQ(package.checksum.value.view(), "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
    EXPECT_EQ(texts(package.provides), std::vector<std::string>{"foo = 0:1.0-1"});
    EXPECT_EQ(texts(package.requires_), (std::vector<std::string>{"/bin/sh", "bar >= 0:2", "baz < 1:3-4"}));
    EXPECT_EQ(texts(package.obsoletes), std::vector<std::string>{"oldfoo <= 0:0.9"});
}

TEST_F(PrimaryTest, EntriesAreFilteredAndKeptOnce)
{
    PackageXml xml;
    xml.version = R"(<version epoch="+7" ver="1.2"/>)";
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
    LogCapture capture;
    const Package& package = only(xml);
    EXPECT_EQ(package.evr.toString(), "7:1.2");
    EXPECT_EQ(texts(package.requires_), (std::vector<std::string>{"strong", "twice >= 0:2", "unversioned"}));
    EXPECT_EQ(package.requires_.firstOfName("unversioned")->flags, 0);
    EXPECT_TRUE(capture.has("TRACE: skipping missingok dep 'weak'"));
    EXPECT_TRUE(capture.has("TRACE: parsing rpm requires for 'foo'"));
    EXPECT_FALSE(capture.contains("rpmlib("));
}

TEST_F(PrimaryTest, OnlyRpmPackagesInTheCommonNamespaceAreRead)
{
    PackageXml srpm;
    srpm.attributes = R"( type="srpm")";
    PackageXml untyped;
    untyped.attributes = "";
    PackageXml nested;
    nested.name = "<name>nested</name>";
    std::string foreign = R"(<x:package xmlns:x="urn:other" type="rpm"/><package xmlns="" type="rpm"/>)";
    // Children in another namespace do not count as a second name.
    PackageXml aside;
    aside.name = R"(<name>aside</name><o:name xmlns:o="urn:other">second</o:name>)";
    ASSERT_TRUE(parsePackages(srpm.str() + untyped.str() + "<wrapper>" + nested.str() + "</wrapper>" + foreign +
                              aside.str()));
    std::vector<std::string> names;
    for (const auto& [name, package] : data->packages())
        names.push_back(package.name.str());
    EXPECT_EQ(names, (std::vector<std::string>{"aside", "nested"}));
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
    EXPECT_EQ(updater::testing::labels(data->packages()), (std::vector<std::string>{"aaa-0:1.0-1", "foo-0:2.0", "foo-0:1.0", "foo-0:3.0"}));
}

TEST_F(PrimaryTest, UndeclaredRpmNamespaceLeavesNoDependencies)
{
    PackageXml xml;
    xml.group = "";
    xml.provides = R"(<x:provides xmlns:x="urn:other"><x:entry name="a"/></x:provides>)";
    std::string document =
        "<?xml version=\"1.0\"?>\n<metadata xmlns=\"http://linux.duke.edu/metadata/common\">" + xml.str() + "</metadata>";
    LogCapture capture(LogLevel::debug);
    ASSERT_TRUE(parse(document));
    ASSERT_EQ(data->packages().size(), 1u);
    const Package& package = data->packages().begin()->second;
    EXPECT_TRUE(package.provides.empty());
    EXPECT_TRUE(package.group.empty());
    EXPECT_TRUE(capture.has("DEBUG: no rpm specific data in XML doc"));
}

TEST_F(PrimaryTest, PredefinedEntitiesAndCharacterReferencesAreDecoded)
{
    PackageXml xml;
    xml.name = "<name>a&amp;b&#65;</name>";
    xml.provides = R"(<rpm:provides><rpm:entry name="x&lt;y&#x42;"/></rpm:provides>)";
    const Package& package = only(xml);
    EXPECT_EQ(package.name.view(), "a&bA");
    EXPECT_EQ(texts(package.provides), std::vector<std::string>{"x<yB"});
}

// An arch is scored by rpm, and only when it is a plain word: rpm's macro
// expansion would run "%(...)" as a shell command.
TEST_F(PrimaryTest, PackagesForOtherArchesAreDroppedWithAWarning)
{
    std::string marker = dir.file("expanded");
    struct Case {
        std::string arch;
        bool kept;
    } cases[] = {
        {"<arch>noarch</arch>", true},
        {"<arch>x86_64</arch>", true},
        {"<arch>s390x</arch>", false},
        {"", false},
        {"<arch>%(touch " + marker + ")</arch>", false},
        {"<arch>%{_arch}</arch>", false},
        {"<arch>x86_64 </arch>", false},
    };
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

struct Rejection {
    const char* rule;
    std::string packages;
    std::string logLine; // at trace level; empty: not checked
};

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
    const PackageXml good;
    const std::string version = R"(<version epoch="0" ver="1"/>)";
    const Rejection cases[] = {
        {"second name", with(&PackageXml::name, "<name>a</name><name>b</name>").str(), ""},
        {"second arch", with(&PackageXml::arch, "<arch>noarch</arch><arch>noarch</arch>").str(), ""},
        {"second version", with(&PackageXml::version, version + version).str(), ""},
        {"second location", with(&PackageXml::location, good.location + good.location).str(), ""},
        {"second checksum", with(&PackageXml::checksum, good.checksum + good.checksum).str(), ""},
        {"second group", with(&PackageXml::group, good.group + good.group).str(), ""},
        {"no name", with(&PackageXml::name, "").str(), ""},
        {"empty name", with(&PackageXml::name, "<name/>").str(), "DEBUG: no string list for node 'name'"},
        {"no version", with(&PackageXml::version, "").str(), ""},
        {"no location", with(&PackageXml::location, "").str(), ""},
        {"location without href", with(&PackageXml::location, "<location/>").str(),
         "DEBUG: no attribute 'href' for node 'location'"},
        {"no checksum", with(&PackageXml::checksum, "").str(), ""},
        {"checksum without type", with(&PackageXml::checksum, "<checksum>00</checksum>").str(),
         "DEBUG: failed parsing 'checksum' element"},
        {"no children", R"(<package type="rpm"/>)", ""},
        {"epoch too large", with(&PackageXml::version, R"(<version epoch="2147483647" ver="1"/>)").str(), ""},
        {"negative epoch", with(&PackageXml::version, R"(<version epoch="-1" ver="1"/>)").str(), ""},
        {"epoch with trailing text", with(&PackageXml::version, R"(<version epoch="1a" ver="1"/>)").str(), ""},
        {"empty epoch", with(&PackageXml::version, R"(<version epoch="" ver="1"/>)").str(), ""},
        {"no epoch", with(&PackageXml::version, R"(<version ver="1" rel="1"/>)").str(),
         "DEBUG: failed parsing 'version' element"},
        {"no ver", with(&PackageXml::version, R"(<version epoch="0" rel="1"/>)").str(), ""},
        {"entry without name", with(&PackageXml::requires_, entry(R"(flags="EQ")")).str(),
         "DEBUG: failed getting 'name' from 'entry'"},
        {"entry with bad epoch", with(&PackageXml::requires_, entry(R"(name="a" flags="EQ" epoch="x" ver="1")")).str(),
         "DEBUG: failed parsing EVR in entry"},
        {"versioned entry without flags", with(&PackageXml::requires_, entry(R"(name="a" epoch="0" ver="1")")).str(),
         "DEBUG: failed parsing 'flags' in 'entry'"},
        {"unknown flags", with(&PackageXml::requires_, entry(R"(name="a" flags="NE" epoch="0" ver="1")")).str(),
         "DEBUG: invalid flags 'NE' in 'entry'"},
        {"missingok not a number", with(&PackageXml::requires_, entry(R"(name="a" missingok="yes")")).str(), ""},
        {"missingok in a namespace", with(&PackageXml::requires_, entry(R"(name="a" rpm:missingok="1")")).str(),
         "DEBUG: failed parsing 'missingok' property '1'"},
        {"malformed XML", good.str() + "<package type=\"rpm\"><name>x</nam></package>", ""},
    };
    for (const auto& c : cases) {
        LogCapture capture;
        EXPECT_FALSE(parsePackages(good.str() + c.packages)) << c.rule;
        EXPECT_TRUE(data->packages().empty()) << c.rule;
        if (!c.logLine.empty()) {
            EXPECT_TRUE(capture.has(c.logLine)) << c.rule << "\n" << capture.text();
        }
    }
}

TEST_F(PrimaryTest, RootMustBeMetadataInTheCommonNamespace)
{
    const struct {
        std::string document;
        std::string logLine;
    } cases[] = {
        {"<metadata><package type=\"rpm\"/></metadata>", "ERROR: bad top-level element, 'metadata' instead of 'metadata'"},
        {R"(<repomd xmlns="http://linux.duke.edu/metadata/common"/>)", "ERROR: bad top-level element, 'repomd' instead of 'metadata'"},
    };
    for (const auto& c : cases) {
        LogCapture capture;
        EXPECT_FALSE(parse(c.document));
        EXPECT_TRUE(capture.has(c.logLine)) << capture.text();
    }
    LogCapture capture;
    EXPECT_FALSE(data->parsePrimary(dir.file("missing.xml")));
    EXPECT_TRUE(capture.has("ERROR: could not open primary file '" + dir.file("missing.xml") + "' for parsing"));
}

// Repository documents are read without entity substitution from outside:
// an external entity must neither pull a local file into a field nor make
// the parse read without end.
TEST_F(PrimaryTest, ExternalEntitiesAreNeverRead)
{
    std::string secret = dir.write("secret", "SECRET-CONTENT");
    std::string doctype = "<!DOCTYPE metadata [\n<!ENTITY secret SYSTEM \"file://" + secret +
                          "\">\n<!ENTITY zero SYSTEM \"/dev/zero\">\n]>\n";
    std::string head = std::string(R"(<?xml version="1.0"?>)") + "\n" + doctype +
                       R"(<metadata xmlns="http://linux.duke.edu/metadata/common" xmlns:rpm="http://linux.duke.edu/metadata/rpm">)";
    PackageXml inGroup = with(&PackageXml::group, "<rpm:group>x&secret;y</rpm:group>");
    inGroup.extra = "<description>&zero;</description>";
    ASSERT_TRUE(parse(head + inGroup.str() + "</metadata>"));
    ASSERT_EQ(data->packages().size(), 1u);
    EXPECT_EQ(data->packages().begin()->second.group.view(), "xy");
    EXPECT_FALSE(parse(head + with(&PackageXml::name, "<name>&secret;</name>").str() + "</metadata>"));
    EXPECT_FALSE(parse(head + with(&PackageXml::location, "<location href=\"&secret;\"/>").str() + "</metadata>"));
    EXPECT_FALSE(parse(head + with(&PackageXml::name, "<name>&zero;</name>").str() + "</metadata>"));
}

TEST_F(PrimaryTest, ExternalSubsetsAndParameterEntitiesAreNotLoaded)
{
    std::string body = R"(<metadata xmlns="http://linux.duke.edu/metadata/common" xmlns:rpm="http://linux.duke.edu/metadata/rpm">)" +
                       PackageXml{}.str() + "</metadata>";
    EXPECT_TRUE(parse("<!DOCTYPE metadata SYSTEM \"/dev/zero\">\n" + body));
    EXPECT_TRUE(parse("<!DOCTYPE metadata [<!ENTITY % zero SYSTEM \"/dev/zero\"> %zero;]>\n" + body));
}

// Nested entities, and one large entity referred to many times: either
// would expand one field to gigabytes.
TEST_F(PrimaryTest, EntityExpansionIsBounded)
{
    std::string nested = "<!ENTITY l0 \"lollollollollollollollollollol\">\n";
    for (int i = 1; i <= 9; ++i) {
        nested += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j)
            nested += "&l" + std::to_string(i - 1) + ";";
        nested += "\">\n";
    }
    std::string repeated;
    for (int j = 0; j < 20000; ++j)
        repeated += "&big;";
    const struct {
        std::string entities;
        std::string name;
    } cases[] = {
        {nested, "&l9;"},
        {"<!ENTITY big \"" + std::string(100000, 'x') + "\">\n", repeated},
    };
    for (const auto& c : cases) {
        std::string body = R"(<metadata xmlns="http://linux.duke.edu/metadata/common" xmlns:rpm="http://linux.duke.edu/metadata/rpm">)" +
                           with(&PackageXml::name, "<name>" + c.name + "</name>").str() + "</metadata>";
        EXPECT_FALSE(parse("<!DOCTYPE metadata [\n" + c.entities + "]>\n" + body));
    }
}

} // namespace
