// Keys and signatures made by gpg (the unit data): the IDs and fields read
// here must be the ones gpg itself reports.
#include <algorithm>
#include <fstream>

#include "pgp/pgp.h"
#include "pgp_bytes.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

using pgptest::Bytes;

const char* const KEYS[] = {"rsa", "dsa", "subkeyed", "eddsa"};

Bytes bytesOf(const std::string& path)
{
    const std::string text = readFile(path);
    return Bytes(text.begin(), text.end());
}

TEST(GpgData, PublicKeyIdsAndNewestCreationAreGpgs)
{
    std::vector<Bytes> exported;
    unsigned long newest = 0;
    for (const char* name : KEYS) {
        SCOPED_TRACE(name);
        const UnitKey key(name);
        exported.push_back(bytesOf(unitData("keys/" + key.name + ".pub")));
        std::vector<KeyId> ids;
        ASSERT_TRUE(publicKeyIds(exported.back().data(), exported.back().size(), ids));
        std::vector<std::string> read, expected{key.keyId};
        for (const KeyId& id : ids)
            read.push_back(keyIdToHex(id));
        expected.insert(expected.end(), key.subkeyIds.begin(), key.subkeyIds.end());
        EXPECT_EQ(read, expected);
        newest = std::max(newest, key.newestCreation);
    }
    exported.push_back(Bytes{0x99, 0x00}); // not a key: passed over
    EXPECT_EQ(newestKeyCreation(exported), newest);
}

// The fields of a binary detached signature, against gpg's --list-packets;
// a text-mode signature (type 1) is not a package signature: no issuer.
TEST(GpgData, DetachedSignatureFieldsAreGpgsPacketFields)
{
    for (const char* name : KEYS) {
        SCOPED_TRACE(name);
        const UnitKey key(name);
        std::ifstream listed(key.signature(".fields"));
        unsigned algorithm = 0, version = 0, hash = 0;
        uint32_t created = 0;
        ASSERT_TRUE(listed >> algorithm >> version >> created >> hash);
        for (const char* suffix : {".sig", ".text.sig"}) {
            const Bytes signature = bytesOf(key.signature(suffix));
            PGPPacketSeq packets;
            ASSERT_TRUE(packets.append(signature.data(), signature.size()));
            PGPSigData sig;
            ASSERT_TRUE(sig.parse(packets));
            EXPECT_EQ(sig.pubkeyAlgo, algorithm);
            EXPECT_EQ(sig.version, version);
            EXPECT_EQ(sig.hashAlgo, hash);
            const bool binary = std::string(suffix) == ".sig";
            EXPECT_EQ(sig.sigType, binary ? 0 : 1);
            EXPECT_EQ(sig.hasKeyId, binary);
            EXPECT_EQ(sig.hasCreated, binary);
            if (binary) {
                EXPECT_EQ(keyIdToHex(sig.keyId), key.name == "subkeyed" ? key.subkeyIds.back() : key.keyId);
                EXPECT_EQ(sig.created, created);
            }
        }
    }
}

// A key cut short anywhere but between two packets is refused; cut between
// packets, it gives the IDs of the key packets before the cut.
TEST(GpgData, TruncatedKeyIsRefusedUnlessCutBetweenPackets)
{
    const Bytes exported = bytesOf(unitData("keys/eddsa.pub"));
    PGPPacketSeq whole;
    ASSERT_TRUE(whole.append(exported.data(), exported.size()));
    ASSERT_GE(whole.size(), 4u);
    std::vector<size_t> boundaries{0};
    for (const PGPPacket& packet : whole)
        boundaries.push_back(boundaries.back() + packet.size);
    for (size_t n = 0; n < exported.size(); ++n) {
        const Bytes cut(exported.begin(), exported.begin() + static_cast<long>(n));
        std::vector<KeyId> ids;
        const bool atBoundary = std::find(boundaries.begin(), boundaries.end(), n) != boundaries.end();
        EXPECT_EQ(publicKeyIds(cut.data(), cut.size(), ids), atBoundary) << n;
    }
}

} // namespace
} // namespace updater::testing
