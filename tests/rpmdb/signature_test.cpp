// Package signatures and the public keys of the device root's rpm database,
// which holds the unit data's rsa, dsa and subkeyed keys.
#include "rpmdb/dbdata.h"

#include <rpm/rpmtag.h>

#include "rpmtesting.h"

namespace updater::testing {
namespace {

class SignatureTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { importDatabaseKeys(); }

    // A copy of the package with one byte flipped at the first occurrence of
    // `text`, or `fromEnd` bytes before its end.
    std::string damaged(const std::string& package, const std::string& text, size_t fromEnd = 0)
    {
        std::string bytes = readFile(package);
        size_t at = text.empty() ? bytes.size() - fromEnd : bytes.find(text);
        EXPECT_LT(at, bytes.size());
        bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
        return m_dir.write(std::to_string(m_copies++) + "/signed-1.0-1.noarch.rpm", bytes);
    }

    // A copy of the package with the last byte of its RSA header signature
    // flipped, inside the signature value.
    std::string damagedSignature(const std::string& package)
    {
        const std::string hex = runCommand("rpm -qp --nosignature --qf '%{RSAHEADER}' " + package);
        std::string packet;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            packet += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        return damaged(package, packet.substr(packet.size() - 8));
    }

    TemporaryDirectory m_dir;
    int m_copies = 0;
};

// Checks with one database opened as the update run opens it; every check
// leaves the verify flags as it found them.
TEST_F(SignatureTest, PackageSignatures)
{
    RpmDB db;
    ASSERT_TRUE(db.open(true));
    ASSERT_EQ(db.verifyFlags(), RPMVSF_NOHDRCHK);
    const std::string package = "signed-1.0-1.noarch.rpm";
    const std::string refused = "ERROR: no acceptable signature on package '" + package + "'";
    const std::string failed = "ERROR: failed verifying package '" + package + "'";
    const std::string headerText = "Header text of the signature test package";
    const struct { const char* name; std::string path; std::vector<std::string> errors; } cases[] = { // no errors: accepted
        {"RSA", UnitKey("rsa").signedPackage(), {}},
        {"DSA", UnitKey("dsa").signedPackage(), {}},
        {"a subkey", UnitKey("subkeyed").signedPackage(), {}},
        {"a second package by a known key", UnitKey("rsa").signedPackage("signed-other"), {}},
        {"unsigned", unitData("packages/" + package), {refused}},
        {"key outside the database", UnitKey("outsider").signedPackage(), {refused}},
        {"key outside the database, again", UnitKey("outsider").signedPackage(), {refused}},
        // A damaged header fails the check at once, without a try of the other algorithm.
        {"damaged header, RSA", damaged(UnitKey("rsa").signedPackage(), headerText), {failed}},
        {"damaged header, DSA", damaged(UnitKey("dsa").signedPackage(), headerText), {failed}},
        {"damaged signature", damagedSignature(UnitKey("rsa").signedPackage()), {failed}},
        // The message names the file by its last component only.
        {"missing file", m_dir.file("gone-1.0-1.noarch.rpm"),
         {"ERROR: failed opening 'gone-1.0-1.noarch.rpm' to check signature: No such file or directory"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture capture(LogLevel::info);
        EXPECT_EQ(db.checkPackageSignature(c.path), c.errors.empty());
        EXPECT_EQ(capture.lines(), c.errors);
        EXPECT_EQ(db.verifyFlags(), RPMVSF_NOHDRCHK);
    }
    // The header signature covers the header, which holds the payload
    // digest; rpm checks the payload against it before it installs anything.
    const std::string payload = damaged(UnitKey("rsa").signedPackage(), "", 100);
    EXPECT_TRUE(db.checkPackageSignature(payload));
    EXPECT_NE(std::system(("rpm -i --test --nodeps " + payload + " >/dev/null 2>&1").c_str()), 0);
}

TEST_F(SignatureTest, ReadsEveryImportedKeyAsGpgExportedIt)
{
    RpmDB db;
    ASSERT_TRUE(db.open(false));
    EXPECT_TRUE(db.hasPublicKeys());
    std::vector<std::string> read;
    for (const auto& key : db.readPublicKeys())
        read.emplace_back(key.begin(), key.end());
    EXPECT_TRUE(read == (std::vector<std::string>{UnitKey("rsa").publicKey(), UnitKey("dsa").publicKey(),
                                                  UnitKey("subkeyed").publicKey()}));
}

TEST_F(SignatureTest, DatabaseWithoutUsableKeys)
{
    TemporaryDirectory empty, broken;
    runCommand("rpmdb --initdb --dbpath " + empty.path());
    {
        Macro macro("_dbpath", empty.path());
        RpmDB db;
        ASSERT_TRUE(db.open(false));
        EXPECT_FALSE(db.hasPublicKeys());
        EXPECT_TRUE(db.readPublicKeys().empty());
    }
    // The broken text first: the key look-up must go on to the good one.
    const std::string rsa = runCommand("base64 -w0 " + unitData("keys/rsa.pub"));
    importHeaders(broken.path(), {HeaderBuilder("gpg-pubkey", "0badc0de", "1")
                                      .strings(RPMTAG_PUBKEYS, {"not*base64!", rsa})});
    Macro macro("_dbpath", broken.path());
    RpmDB db;
    ASSERT_TRUE(db.open(true));
    LogCapture capture;
    std::vector<std::vector<uint8_t>> read = db.readPublicKeys();
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(std::string(read[0].begin(), read[0].end()), UnitKey("rsa").publicKey());
    EXPECT_EQ(capture.count("WARNING: failed base64 decode of public key data"), 1);
    EXPECT_TRUE(db.checkPackageSignature(UnitKey("rsa").signedPackage()));
}

// rpm verifies with the keys it can load from the database; a key entry it
// cannot load (here one that does not begin with the key packet) may still
// name the signer's key ID to a plain packet reader. The package is refused.
TEST_F(SignatureTest, KeyThatRpmCannotLoadIsRefused)
{
    const UnitKey key("outsider");
    const std::string marker("\xa8\x03PGP", 5);
    const std::string unusable =
        runCommand("printf '%s' '" + marker + "' | cat - " + unitData("keys/outsider.pub") + " | base64 -w0");
    TemporaryDirectory dbpath;
    importHeaders(dbpath.path(), {HeaderBuilder("gpg-pubkey", key.keyId.substr(8), "1")
                                      .strings(RPMTAG_PUBKEYS, {unusable})});
    Macro macro("_dbpath", dbpath.path());
    RpmDB db;
    ASSERT_TRUE(db.open(true));
    LogCapture capture(LogLevel::error);
    EXPECT_FALSE(db.checkPackageSignature(key.signedPackage()));
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"ERROR: RSA signing key ID " + key.keyId +
                                            " for package 'signed-1.0-1.noarch.rpm' is in the rpm DB, but rpm cannot use it",
                                        "ERROR: no acceptable signature on package 'signed-1.0-1.noarch.rpm'"}));
}

} // namespace
} // namespace updater::testing
