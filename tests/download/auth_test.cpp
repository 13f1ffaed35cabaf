// Server authentication answered from the credentials file and, for Digest
// only, from the device's default credentials.

#include "download/downloader.h"
#include "download/networktest.h"

namespace updater::testing {
namespace {

class AuthTest : public DownloadTest {
protected:
    ~AuthTest() override { writeCredentials(""); }

    ChildRun fetch() const
    {
        return runChild([&] { return downloadOnce("http://127.0.0.1:8080/repo", "f", target()); });
    }
    static std::string entry(const std::string& href, const std::string& user, const std::string& password,
                             const std::string& realm = "")
    {
        return "  <creditentials xlink:href=\"" + href + "\" username=\"" + user + "\" password=\"" + password + "\"" +
               (realm.empty() ? "" : " realm=\"" + realm + "\"") + "/>\n";
    }
    static std::string server(const std::string& scheme, const std::string& user, const std::string& password)
    {
        return R"({"auth": {"scheme": ")" + scheme + R"(", "realm": "updates", "users": {")" + user + R"(": ")" +
               password + R"("}}, "routes": {"/repo/f": {"body": "authorised"}}})";
    }
};

TEST_F(AuthTest, AnswersBasicFromTheFileInFileOrder)
{
    TestServer basic(server("Basic", "second", "pw-second"), 8080);
    writeCredentials(entry("http://127.0.0.1:8080/", "first", "pw-first") +
                     entry("http://127.0.0.1:8080/", "realmless", "pw-x", "other realm") +
                     entry("http://127.0.0.1:8081/", "otherport", "pw-y") +
                     entry("https://127.0.0.1:8080/", "otherscheme", "pw-z") +
                     entry("http://127.0.0.1:8080/elsewhere", "otherpath", "pw-w") +
                     entry("http://127.0.0.1:8080/repo", "second", "pw-second", "updates"));
    ChildRun run = fetch();
    EXPECT_EQ(run.exitCode, 0) << run.text();
    EXPECT_EQ(readFile(target()), "authorised");
    EXPECT_EQ(requestUsers(basic), (std::vector<std::string>{"", "first", "second"}));
    EXPECT_FALSE(run.contains("pw-")) << "a password reached the log";
}

TEST_F(AuthTest, OffersTheDefaultCredentialsOnlyToDigestAndOnlyLast)
{
    const DeviceRootSetup& root = deviceRoot();
    writeCredentials(entry("http://127.0.0.1:8080/", "first", "pw-first") +
                     entry("http://127.0.0.1:8080/", "second", "pw-second"));
    {
        TestServer digest(server("Digest", root.defaultUser, root.defaultPassword), 8080);
        ChildRun run = fetch();
        EXPECT_EQ(run.exitCode, 0) << run.text();
        EXPECT_EQ(requestUsers(digest), (std::vector<std::string>{"", "first", "second", root.defaultUser}));
        EXPECT_FALSE(run.contains(root.defaultPassword)) << "the default password reached the log";
    }
    {
        TestServer basic(server("Basic", root.defaultUser, root.defaultPassword), 8080);
        ChildRun run = fetch();
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(requestUsers(basic), (std::vector<std::string>{"", "first", "second"}));
        EXPECT_TRUE(run.has("ERROR: failed fetching 'f' (authentication failed on server)")) << run.text();
    }
}

TEST_F(AuthTest, AcceptsUserNamesUpTo255Bytes)
{
    std::string longest(255, 'u');
    TestServer basic(server("Basic", longest, "pw"), 8080);
    writeCredentials(entry("http://127.0.0.1:8080/", longest, "pw"));
    ChildRun accepted = fetch();
    EXPECT_EQ(accepted.exitCode, 0) << accepted.text();
    writeCredentials(entry("http://127.0.0.1:8080/", longest + "u", "pw"));
    ChildRun refused = fetch();
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.has("ERROR: http username length (256) exceeds maximum supported (256)")) << refused.text();
    EXPECT_EQ(requestUsers(basic), (std::vector<std::string>{"", longest, ""}));
}

} // namespace
} // namespace updater::testing
