// The file of a repository's remembered metadata: its name keeps any ID in
// the state directory, and only a whole record holds back an older index.
#include "repo/metadataguard.h"

#include "testing/testing.h"

namespace updater::testing {
namespace {

const std::string SHA_A(64, 'a');
const std::string SHA_B(64, 'b');

TEST(MetadataRecordPath, EveryIdStaysInTheDirectory)
{
    const struct { std::string id; std::string path; } cases[] = {
        {"base", "/state/metadata-base"},
        {"", "/state/metadata-"},
        {"../../etc/passwd", "/state/metadata-..%2f..%2fetc%2fpasswd"},
        {"a b%c_d-e.f", "/state/metadata-a%20b%25c_d-e.f"},
        {std::string("x\0y\xff", 4), "/state/metadata-x%00y%ff"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(metadataRecordPath("/state/", c.id), c.path);
}

TEST(MetadataGuard, OnlyAWholeRecordHoldsBackAnOlderIndex)
{
    const std::string whole = R"({"revision":"2","timestamp":2000,"sha256":")" + SHA_B + R"("})";
    const struct { std::string record; bool refused; } cases[] = {
        {whole, true}, {"", false}, {"[]", false}, {whole.substr(0, whole.size() - 1), false},
        {R"({"revision":2,"timestamp":2000,"sha256":")" + SHA_B + R"("})", false},
        {R"({"revision":"2","timestamp":-2000,"sha256":")" + SHA_B + R"("})", false},
        {R"({"revision":"2","timestamp":2000.5,"sha256":")" + SHA_B + R"("})", false},
        {R"({"revision":"2","timestamp":2000,"sha256":"bb"})", false},
        {R"({"revision":"2","sha256":")" + SHA_B + R"("})", false},
    };
    TemporaryDirectory dir;
    const Config config;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        writeFile(dir.file("metadata-base"), c.record);
        LogCapture capture;
        MetadataGuard guard(config, dir.file("metadata-base"));
        EXPECT_EQ(guard.admit(RepomdFacts{"1", 1000, SHA_A}, 5000), !c.refused);
        EXPECT_EQ(capture.has("WARNING: remembered repository metadata '" + dir.file("metadata-base") +
                              "' is damaged, starting afresh"),
                  !c.refused);
    }
}

} // namespace
} // namespace updater::testing
