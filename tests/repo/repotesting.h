// Shared by the repository tests: crafted primary documents, rpm's
// configuration and dependency sets as text.
#pragma once

#include <gtest/gtest.h>
#include <rpm/rpmlib.h>
#include <string>
#include <vector>

#include "evr/dependency.h"
#include "repo/checksum.h"
#include "testing/testing.h"

namespace updater::testing {

constexpr const char* PRIMARY_HEAD = R"(<?xml version="1.0" encoding="UTF-8"?>
<metadata xmlns="http://linux.duke.edu/metadata/common" xmlns:rpm="http://linux.duke.edu/metadata/rpm">
)";
constexpr const char* PRIMARY_TAIL = "</metadata>\n";

// One `package` element, valid as it stands; each test changes a part.
struct PackageXml {
    std::string attributes = R"( type="rpm")";
    std::string name = "<name>foo</name>";
    std::string arch = "<arch>noarch</arch>";
    std::string version = R"(<version epoch="0" ver="1.0" rel="1"/>)";
    std::string checksum =
        R"(<checksum type="sha256" pkgid="YES">0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef</checksum>)";
    std::string location = R"(<location href="foo-1.0-1.noarch.rpm"/>)";
    std::string group = "<rpm:group>Tools</rpm:group>";
    std::string provides = R"(<rpm:provides><rpm:entry name="foo" flags="EQ" epoch="0" ver="1.0" rel="1"/></rpm:provides>)";
    std::string requires_;
    std::string obsoletes;
    std::string extra = "<summary>a package</summary><size package=\"1\"/>";

    std::string str() const
    {
        return "<package" + attributes + ">" + name + arch + version + checksum + extra + location + "<format>" +
               group + provides + requires_ + obsoletes + "</format></package>\n";
    }
};

inline std::string primaryDocument(const std::string& packages)
{
    return PRIMARY_HEAD + packages + PRIMARY_TAIL;
}

// The architecture test scores against rpm's configured platform.
class RpmConfig : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0); }
};

// The SHA-256 checksum of a file, as the metadata would give it.
inline Checksum sha256Of(const std::string& path)
{
    Checksum checksum;
    checksum.type = PooledString("sha256");
    std::vector<unsigned char> digest;
    EXPECT_TRUE(checksum.digest(path, false, digest));
    checksum.value = StoredString(hexText(digest.data(), digest.size()));
    return checksum;
}

} // namespace updater::testing
