// Keys and signatures made by gpg in a throwaway home: the IDs read here must
// be the ones gpg itself reports.
#include <algorithm>
#include <gtest/gtest.h>
#include <regex>

#include "gpgtesting.h"
#include "pgp/pgp.h"
#include "pgp_bytes.h"

using namespace updater;
using namespace updater::pgptest;
using updater::testing::GpgKey;
using updater::testing::readFile;
using updater::testing::splitLines;
using updater::testing::TemporaryDirectory;

namespace {

// Each key with an encryption subkey, as gpg makes them by default.
struct Keys {
    GpgKey rsa{"rsa", "rsa2048"};
    GpgKey dsa{"dsa", "dsa2048"};
    GpgKey eddsa{"eddsa", "ed25519"};
    Keys()
    {
        rsa.addSubkey("rsa2048", "encr");
        dsa.addSubkey("cv25519", "encr");
        eddsa.addSubkey("cv25519", "encr");
    }
    std::vector<const GpgKey*> all() const { return {&rsa, &dsa, &eddsa}; }
};

class GpgData : public ::testing::Test {
protected:
    static void SetUpTestSuite() { keys = new Keys; }
    static void TearDownTestSuite()
    {
        delete keys;
        keys = nullptr;
    }

    // A detached signature of a document, made by gpg with `options`.
    Bytes sign(const GpgKey& key, const std::string& options = "")
    {
        key.detachSign(dir.write("data", "the document that is signed\n"), dir.file("data.sig"), options);
        return bytesOf(readFile(dir.file("data.sig")));
    }
    static Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

    static Keys* keys;
    TemporaryDirectory dir;
};

Keys* GpgData::keys = nullptr;

TEST_F(GpgData, PublicKeyIdsAreGpgsKeyIds)
{
    for (const GpgKey* key : keys->all()) {
        SCOPED_TRACE(key->keyId());
        const Bytes exported = bytesOf(key->publicKey());
        std::vector<KeyId> ids;
        ASSERT_TRUE(publicKeyIds(exported.data(), exported.size(), ids));
        ASSERT_EQ(ids.size(), 2u);
        EXPECT_EQ(keyIdToHex(ids[0]), key->keyId());
        EXPECT_EQ(keyIdToHex(ids[1]), key->subkeyId());
    }
}

TEST_F(GpgData, NewestKeyCreationIsGpgsNewestCreationDate)
{
    std::vector<Bytes> exported;
    unsigned long newest = 0;
    const std::regex created("(pub|sub):[^:]*:[^:]*:[^:]*:[^:]*:([0-9]+):.*");
    for (const GpgKey* key : keys->all()) {
        exported.push_back(bytesOf(key->publicKey()));
        for (const std::string& line : splitLines(key->gpg("--list-keys --with-colons"))) {
            std::smatch match;
            if (std::regex_match(line, match, created))
                newest = std::max(newest, std::stoul(match[2]));
        }
    }
    exported.push_back(Bytes{0x99, 0x00}); // not a key: passed over
    ASSERT_NE(newest, 0u);
    EXPECT_EQ(newestKeyCreation(exported), newest);
}

TEST_F(GpgData, DetachedSignatureFieldsAreGpgsPacketFields)
{
    const std::regex header(":signature packet: algo ([0-9]+), keyid ([0-9A-F]{16})");
    const std::regex details("version ([0-9]+), created ([0-9]+), md5len 0, sigclass 0x([0-9a-f]{2})");
    const std::regex digest("digest algo ([0-9]+),");
    for (const GpgKey* key : keys->all()) {
        SCOPED_TRACE(key->keyId());
        const Bytes signature = sign(*key);
        const std::string listing = key->gpg("--list-packets '" + dir.file("data.sig") + "'");
        std::smatch h, d, g;
        ASSERT_TRUE(std::regex_search(listing, h, header)) << listing;
        ASSERT_TRUE(std::regex_search(listing, d, details)) << listing;
        ASSERT_TRUE(std::regex_search(listing, g, digest)) << listing;

        PGPPacketSeq packets;
        ASSERT_TRUE(packets.append(signature.data(), signature.size()));
        PGPSigData sig;
        ASSERT_TRUE(sig.parse(packets));
        ASSERT_TRUE(sig.hasKeyId);
        EXPECT_EQ(keyIdToHex(sig.keyId), key->keyId());
        EXPECT_EQ(std::to_string(sig.pubkeyAlgo), h[1]);
        EXPECT_EQ(std::to_string(sig.version), d[1]);
        ASSERT_TRUE(sig.hasCreated);
        EXPECT_EQ(std::to_string(sig.created), d[2]);
        EXPECT_EQ(sig.sigType, 0);
        EXPECT_EQ(std::to_string(sig.hashAlgo), g[1]);
    }
}

// A text-mode signature (type 1) is not a package signature: no issuer is taken.
TEST_F(GpgData, TextSignatureYieldsNoIssuer)
{
    const Bytes signature = sign(keys->rsa, "--textmode");
    PGPPacketSeq packets;
    ASSERT_TRUE(packets.append(signature.data(), signature.size()));
    PGPSigData sig;
    ASSERT_TRUE(sig.parse(packets));
    EXPECT_EQ(sig.sigType, 1);
    EXPECT_FALSE(sig.hasKeyId);
    EXPECT_FALSE(sig.hasCreated);
}

// A key cut short anywhere but between two packets is refused; cut between
// packets, it gives the IDs of the key packets before the cut.
TEST_F(GpgData, TruncatedKeyIsRefusedUnlessCutBetweenPackets)
{
    const Bytes exported = bytesOf(keys->dsa.publicKey());
    PGPPacketSeq whole;
    ASSERT_TRUE(whole.append(exported.data(), exported.size()));
    ASSERT_GE(whole.size(), 4u);
    std::vector<size_t> boundaries{0};
    for (const PGPPacket& packet : whole)
        boundaries.push_back(boundaries.back() + packet.size);
    for (size_t n = 0; n < exported.size(); ++n) {
        const Bytes cut(exported.begin(), exported.begin() + n);
        std::vector<KeyId> ids;
        const bool atBoundary = std::find(boundaries.begin(), boundaries.end(), n) != boundaries.end();
        EXPECT_EQ(publicKeyIds(cut.data(), cut.size(), ids), atBoundary) << n;
    }
}

} // namespace
