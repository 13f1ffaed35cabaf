
#include "download/neonhandles.h"
#include "identity/credentials.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

NetCredentials storeFor(const char* server)
{
    ParsedUri uri;
    EXPECT_TRUE(uri.parse(server));
    return NetCredentials(uri.get());
}

std::vector<std::string> users(NetCredentials& store, const std::string& realm, const std::string& path)
{
    std::vector<std::string> found;
    store.rewind();
    while (const CredentialEntry* entry = store.find(realm, path))
        found.push_back(entry->user);
    return found;
}

TEST(NetCredentialsTest, LoadsTheEntriesOfItsServerOnly)
{
    TemporaryDirectory dir;
    std::string file = dir.write("vrkpasswd.xml", credentialsDocument(R"(
  <creditentials xlink:href="http://repo.example/" username="plain" password="p1"/>
  <creditentials xlink:href="http://repo.example:80/pkgs" realm="updates" username="explicit-port"/>
  <creditentials xlink:href="https://repo.example/" username="other-scheme" password="p3"/>
  <creditentials xlink:href="http://mirror.example/" username="other-host" password="p4"/>
  <creditentials xlink:href="http://repo.example:8080/" username="other-port" password="p5"/>
  <creditentials xlink:href="http://Repo.example/" username="other-case" password="p6"/>
  <creditentials href="http://repo.example/" username="no-xlink" password="p7"/>
  <group><creditentials xlink:href="http://repo.example/" username="nested" password="p8"/></group>
  <creditentials xlink:href="http://repo.example" username="no-path"><child/></creditentials>
)"));
    NetCredentials store = storeFor("http://repo.example/");
    LogCapture capture;
    ASSERT_TRUE(store.load(file));
    ASSERT_EQ(store.entries().size(), 3u);
    std::vector<std::string> read;
    for (const CredentialEntry& e : store.entries())
        read.push_back(e.path + " " + e.realm + " " + e.user + " " + e.password);
    EXPECT_EQ(read, (std::vector<std::string>{"/  plain p1", "/pkgs updates explicit-port ", "/  no-path "}));
    EXPECT_EQ(capture.count("WARNING: ignoring network credential with no URI"), 1);
}

TEST(NetCredentialsTest, NeverLogsAPassword)
{
    NetCredentials store = storeFor("http://repo.example/");
    LogCapture capture;
    EXPECT_TRUE(store.addIfMatches("http://repo.example/", nullptr, "user", "s3cret"));
    EXPECT_FALSE(store.addIfMatches("http://other.example/", "realm", nullptr, nullptr));
    EXPECT_FALSE(capture.contains("s3cret"));
}

TEST(NetCredentialsTest, WalksTheMatchingEntriesInFileOrder)
{
    NetCredentials store = storeFor("https://repo.example:443/");
    ASSERT_TRUE(store.addIfMatches("https://repo.example/", nullptr, "any-realm", "p"));
    ASSERT_TRUE(store.addIfMatches("https://repo.example/", "updates", "updates-realm", "p"));
    ASSERT_TRUE(store.addIfMatches("https://repo.example/", "other", "other-realm", "p"));
    ASSERT_TRUE(store.addIfMatches("https://repo.example/repo/", nullptr, "below-repo", "p"));

    EXPECT_EQ(store.find("updates", "/repo/x"), nullptr) << "the cursor starts at the end";
    EXPECT_EQ(users(store, "updates", "/repo/x"),
              (std::vector<std::string>{"any-realm", "updates-realm", "below-repo"}));
    EXPECT_EQ(store.find("updates", "/repo/x"), nullptr) << "the cursor stays at the end";
    EXPECT_EQ(users(store, "other", "/pkgs/a.rpm"), (std::vector<std::string>{"any-realm", "other-realm"}));
    EXPECT_EQ(users(store, "updates", "/"), std::vector<std::string>{}) << "\"/\" is not below \"/\"";
    EXPECT_EQ(users(store, "", "/repo/"), (std::vector<std::string>{"any-realm"}));

    store.clear();
    store.add({"/", "", "default", "pw"});
    EXPECT_EQ(users(store, "whatever", "/a"), std::vector<std::string>{"default"});
}

TEST(NetCredentialsTest, StopsAtAFaultKeepingWhatWasRead)
{
    TemporaryDirectory dir;
    NetCredentials store = storeFor("http://repo.example/");
    LogCapture capture;

    std::string wrongRoot = dir.write("wrong.xml", "<x:credits xmlns:x=\"urn:x\"/>");
    EXPECT_FALSE(store.load(wrongRoot));
    EXPECT_TRUE(capture.has("ERROR: bad top-level element, 'x:credits' instead of 'credits'"));

    // The reader parses ahead in blocks: the fault lies well behind the entry.
    std::string truncated = dir.write("truncated.xml", "<credits xmlns:xlink=\"http://www.w3.org/1999/xlink\">"
                                                       "<creditentials xlink:href=\"http://repo.example/\" "
                                                       "username=\"kept\"/>" +
                                                           std::string(20000, ' ') + "<creditentials");
    EXPECT_FALSE(store.load(truncated));
    ASSERT_EQ(store.entries().size(), 1u);
    EXPECT_EQ(store.entries()[0].user, "kept");

    EXPECT_FALSE(store.load(dir.file("absent.xml")));
    EXPECT_TRUE(capture.has("ERROR: could not open network credentials file"));
}

} // namespace
} // namespace updater::testing
