// Runs inside a throwaway device root whose rpm database holds the keys of
// DatabaseKeys (gpgtesting.h). Packages built by rpmbuild (build-packages.sh)
// are signed by rpmsign.
#include "rpmdb/dbdata.h"

#include <gtest/gtest.h>
#include <memory>
#include <rpm/rpmtag.h>

#include "gpgtesting.h"
#include "rpmtesting.h"
#include "testing/testing.h"

using namespace updater;
using updater::testing::DatabaseKeys;
using updater::testing::GpgKey;
using updater::testing::HeaderBuilder;
using updater::testing::importHeaders;
using updater::testing::LogCapture;
using updater::testing::Macro;
using updater::testing::readFile;
using updater::testing::runCommand;
using updater::testing::TemporaryDirectory;
using updater::testing::writeFile;

namespace {

const std::string PACKAGES = RPMDB_TEST_PACKAGES;
const std::string PACKAGE = "signed-1.0-1.noarch.rpm";
const std::string OTHER_PACKAGE = "signed-other-1.0-1.noarch.rpm";

using Keys = updater::testing::DatabaseKeysEnvironment;
const auto* const environment = ::testing::AddGlobalTestEnvironment(new Keys);

class SignatureTest : public ::testing::Test {
protected:
    // A copy of a built package signed by the key, in a directory of its own.
    std::string signedBy(const GpgKey& key, const std::string& package = PACKAGE)
    {
        return key.signPackage(PACKAGES + "/" + package, m_dir.file(std::to_string(m_copies++)));
    }

    // Flips one byte of the file at the first occurrence of `text`, or at
    // `fromEnd` bytes before its end.
    static void damage(const std::string& path, const std::string& text, size_t fromEnd = 0)
    {
        std::string bytes = readFile(path);
        size_t at = text.empty() ? bytes.size() - fromEnd : bytes.find(text);
        ASSERT_LT(at, bytes.size());
        bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
        writeFile(path, bytes);
    }

    // Flips the last byte of the package's RSA header signature, inside its
    // signature value.
    static void damageSignature(const std::string& path)
    {
        const std::string hex = runCommand("rpm -qp --nosignature --qf '%{RSAHEADER}' " + path);
        std::string packet;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            packet += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        damage(path, packet.substr(packet.size() - 8));
    }

    TemporaryDirectory m_dir;
    int m_copies = 0;
};

// Checks package files with one database opened as the update run opens it,
// and that every check leaves the verify flags as it found them.
class PackageSignature : public SignatureTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_db.open(true));
        m_flags = m_db.verifyFlags();
        ASSERT_EQ(m_flags, RPMVSF_NOHDRCHK);
    }

    bool check(const std::string& path)
    {
        bool accepted = m_db.checkPackageSignature(path);
        EXPECT_EQ(m_db.verifyFlags(), m_flags);
        return accepted;
    }

    RpmDB m_db;
    rpmVSFlags m_flags = 0;
};

TEST_F(PackageSignature, AcceptsSignaturesByDatabaseKeys)
{
    const DatabaseKeys& keys = Keys::keys();
    const struct {
        const char* name;
        const GpgKey& key;
        std::vector<std::string> logged;
        std::string notLogged;
    } cases[] = {
        {"RSA", keys.rsa,
         {"TRACE: dumping RSA data to stderr", "TRACE: found v4 signature with key ID " + keys.rsa.keyId(),
          "TRACE: key " + keys.rsa.keyId() + " found as entry in pubkey DB"},
         "ERROR"},
        {"DSA, after finding no RSA signature", keys.dsa,
         {"TRACE: dumping DSA data to stderr", "TRACE: key " + keys.dsa.keyId() + " found as entry in pubkey DB"},
         "RSA data"},
        {"a subkey", keys.subkeyed, {"TRACE: key " + keys.subkeyed.subkeyId() + " found as entry in pubkey DB"},
         "ERROR"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = signedBy(c.key);
        LogCapture capture;
        EXPECT_TRUE(check(path));
        for (const std::string& line : c.logged)
            EXPECT_TRUE(capture.has(line)) << line;
        EXPECT_FALSE(capture.contains(c.notLogged));
    }
}

TEST_F(PackageSignature, RefusalsLogTheirReasonOnly)
{
    const DatabaseKeys& keys = Keys::keys();
    std::string damagedRsa = signedBy(keys.rsa), damagedDsa = signedBy(keys.dsa), damagedSignature = signedBy(keys.rsa);
    damage(damagedRsa, "Header text of the signature test package");
    damage(damagedDsa, "Header text of the signature test package");
    damageSignature(damagedSignature);
    const std::string refused = "ERROR: no acceptable signature on package '" + PACKAGE + "'";
    const std::string failed = "ERROR: failed verifying package '" + PACKAGE + "'";
    const struct {
        const char* name;
        std::string path;
        LogLevel threshold;
        std::vector<std::string> logged;
    } cases[] = {
        {"unsigned", PACKAGES + "/" + PACKAGE, LogLevel::trace, {refused}},
        {"key outside the database", signedBy(keys.outsider), LogLevel::debug,
         {"DEBUG: RSA signing key ID " + keys.outsider.keyId() + " for package '" + PACKAGE + "' is not trusted",
          refused}},
        // A damaged header fails the check at once, without a try of the other algorithm.
        {"damaged header, RSA", damagedRsa, LogLevel::debug, {failed}},
        {"damaged header, DSA", damagedDsa, LogLevel::debug, {failed}},
        {"damaged signature", damagedSignature, LogLevel::debug, {failed}},
        // The message names the file by its last component only.
        {"missing file", m_dir.file("packages/gone-1.0-1.noarch.rpm"), LogLevel::trace,
         {"ERROR: failed opening 'gone-1.0-1.noarch.rpm' to check signature: No such file or directory"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture capture(c.threshold);
        EXPECT_FALSE(check(c.path));
        EXPECT_EQ(capture.lines(), c.logged);
    }
}

// The header signature covers the header, which holds the payload digest;
// rpm checks the payload against it before it installs anything.
TEST_F(PackageSignature, LeavesDamagedPayloadToRpmsInstall)
{
    std::string path = signedBy(Keys::keys().rsa);
    damage(path, "", 100);
    EXPECT_TRUE(check(path));
    EXPECT_NE(std::system(("rpm -i --test --nodeps " + path + " >/dev/null 2>&1").c_str()), 0);
}

TEST_F(PackageSignature, LooksUpEachKeyOnce)
{
    std::vector<std::string> trusted = {signedBy(Keys::keys().rsa), signedBy(Keys::keys().rsa, OTHER_PACKAGE)};
    std::vector<std::string> untrusted = {signedBy(Keys::keys().outsider), signedBy(Keys::keys().outsider, OTHER_PACKAGE)};
    LogCapture capture;
    for (const std::string& path : trusted)
        EXPECT_TRUE(check(path));
    for (const std::string& path : untrusted)
        EXPECT_FALSE(check(path));
    EXPECT_EQ(capture.count("TRACE: key " + Keys::keys().rsa.keyId() + " found as entry in pubkey DB"), 1);
    EXPECT_EQ(capture.count("TRACE: key " + Keys::keys().outsider.keyId() + " not found while initializing iterator"), 1);
    EXPECT_EQ(capture.count("DEBUG: RSA signing key ID " + Keys::keys().outsider.keyId() + " for package '" +
                            OTHER_PACKAGE + "' is not trusted"),
              1);
}

TEST_F(SignatureTest, ReadsEveryImportedKeyAsGpgExportedIt)
{
    RpmDB db;
    ASSERT_TRUE(db.open(false));
    LogCapture capture;
    EXPECT_TRUE(db.hasPublicKeys());
    std::vector<std::vector<uint8_t>> read = db.readPublicKeys();
    std::vector<std::string> texts;
    for (const auto& key : read)
        texts.emplace_back(key.begin(), key.end());
    EXPECT_TRUE(texts == (std::vector<std::string>{Keys::keys().rsa.publicKey(), Keys::keys().dsa.publicKey(),
                                                   Keys::keys().subkeyed.publicKey()}));
    EXPECT_TRUE(capture.has("DEBUG: read 3 public keys from RPM DB"));
}

TEST_F(SignatureTest, DatabaseWithoutKeyEntries)
{
    TemporaryDirectory dbpath;
    runCommand("rpmdb --initdb --dbpath " + dbpath.path());
    Macro macro("_dbpath", dbpath.path());
    RpmDB db;
    ASSERT_TRUE(db.open(false));
    LogCapture capture;
    EXPECT_FALSE(db.hasPublicKeys());
    EXPECT_TRUE(db.readPublicKeys().empty());
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"TRACE: no public keys found in rpm db",
                                                         "TRACE: no public keys found in rpm db",
                                                         "DEBUG: read 0 public keys from RPM DB"}));
}

// rpm verifies with the keys it can load from the database; a key entry it
// cannot load (here one that does not begin with the key packet) may still
// name the signer's key ID to a plain packet reader. The package is refused.
TEST_F(SignatureTest, KeyThatRpmCannotLoadIsRefused)
{
    const GpgKey& key = Keys::keys().outsider;
    const std::string marker("\xa8\x03PGP", 5);
    const std::string unusable = runCommand("printf '%s' '" + marker + "' | cat - " +
                                            m_dir.write("key", key.publicKey()) + " | base64 -w0");
    TemporaryDirectory dbpath;
    importHeaders(dbpath.path(), {HeaderBuilder("gpg-pubkey", key.keyId().substr(8), "1")
                                      .strings(RPMTAG_PUBKEYS, {unusable})});
    Macro macro("_dbpath", dbpath.path());
    RpmDB db;
    ASSERT_TRUE(db.open(true));
    const std::string path = signedBy(key);
    LogCapture capture(LogLevel::error);
    EXPECT_FALSE(db.checkPackageSignature(path));
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                   "ERROR: RSA signing key ID " + key.keyId() + " for package '" + PACKAGE +
                                       "' is in the rpm DB, but rpm cannot use it",
                                   "ERROR: no acceptable signature on package '" + PACKAGE + "'"}));
}

TEST_F(SignatureTest, BrokenKeyEntriesAreLeftOut)
{
    TemporaryDirectory dbpath;
    // The broken text first: the key look-up must go on to the good one.
    importHeaders(dbpath.path(), {HeaderBuilder("gpg-pubkey", "0badc0de", "1")
                                      .strings(RPMTAG_PUBKEYS, {"not*base64!", Keys::keys().rsa.publicKeyBase64()})});
    Macro macro("_dbpath", dbpath.path());
    RpmDB db;
    ASSERT_TRUE(db.open(true));
    LogCapture capture;
    EXPECT_TRUE(db.hasPublicKeys());
    std::vector<std::vector<uint8_t>> read = db.readPublicKeys();
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(std::string(read[0].begin(), read[0].end()), Keys::keys().rsa.publicKey());
    EXPECT_EQ(capture.count("WARNING: failed base64 decode of public key data"), 1);
    EXPECT_TRUE(db.checkPackageSignature(signedBy(Keys::keys().rsa)));
}

} // namespace
