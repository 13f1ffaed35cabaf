// Packet splitting and signature parsing on hand-made byte strings: every
// length form, malformed and truncated input. Each input lives in a vector of
// exactly its size, so that a read past the end shows under AddressSanitizer.
#include "pgp/pgp.h"

#include <initializer_list>
#include <optional>

#include "pgp_bytes.h"
#include "testing/testing.h"

using namespace updater::pgptest;

namespace updater::testing {
namespace {

const Bytes ISSUER_A = hex("01 02 03 04 05 06 07 08");
const Bytes ISSUER_B = hex("a1 b2 c3 d4 e5 f6 07 18");
const char* const A = "0102030405060708";
const char* const B = "a1b2c3d4e5f60718";
const Bytes CREATED = hex("65 53 f1 00"); // 1700000000
constexpr uint32_t T = 1700000000;

Bytes v3Sig(uint8_t hashedLength, size_t size)
{
    Bytes body = cat({hex("03"), {hashedLength}, hex("00"), CREATED, ISSUER_A, hex("01 08")});
    body.resize(size, 0x5a);
    return body;
}

Bytes padding(size_t n) { return Bytes(n, 0x77); }

// firstBodyLength: of the first packet, when there is one; keyId: null for none.
struct Case { const char* name; Bytes bytes; bool splits; size_t packets, firstBodyLength; bool parses; const char* keyId;
              std::optional<uint32_t> created; };

std::vector<Case> cases()
{
    const Bytes plain = v4Sig(0, cat({sub(2, CREATED), sub(16, ISSUER_A)}), {});
    const Bytes big = v4Sig(0, sub(16, ISSUER_A), {}, padding(300));
    const Bytes marker = hex("a8 03 50 47 50"); // old-format marker packet "PGP"
    Bytes v2 = v3Sig(5, 30);
    v2[0] = 2;
    return {
        // Packet headers: every length form.
        {"old format, 1-byte length", cat({hex("88"), {uint8_t(plain.size())}, plain}), true, 1, plain.size(), true, A, T},
        {"old format, 2-byte length", oldPacket(2, plain), true, 1, plain.size(), true, A, T},
        {"old format, 4-byte length", cat({hex("8a 00 00 00"), {uint8_t(plain.size())}, plain}), true, 1, plain.size(), true, A, T},
        {"old format, indeterminate length", cat({hex("8b"), plain}), true, 1, plain.size(), true, A, T},
        {"new format, 1-byte length", newPacket(2, plain), true, 1, plain.size(), true, A, T},
        {"new format, 2-byte length", newPacket(2, big), true, 1, big.size(), true, A, std::nullopt},
        {"new format, 5-byte length", cat({hex("c2 ff 00 00 01"), {uint8_t(big.size() - 256)}, big}), true, 1, big.size(), true, A, std::nullopt},
        {"new format, empty body", hex("c2 00"), true, 1, 0, false, nullptr, std::nullopt},
        {"empty buffer", {}, true, 0, 0, false, nullptr, std::nullopt},
        {"signature after another packet", cat({marker, oldPacket(2, plain)}), true, 2, 3, true, A, T},
        {"no signature packet", marker, true, 1, 3, false, nullptr, std::nullopt},
        // Malformed packet headers.
        {"partial body length", cat({hex("c2 e0"), plain}), false, 0, 0, false, nullptr, std::nullopt},
        {"partial body length 254", cat({hex("c2 fe"), plain}), false, 0, 0, false, nullptr, std::nullopt},
        {"new format tag byte alone", hex("c2"), false, 0, 0, false, nullptr, std::nullopt},
        {"new format, 2-byte length cut", hex("c2 c0"), false, 0, 0, false, nullptr, std::nullopt},
        {"new format, 5-byte length cut", hex("c2 ff 00 00 00"), false, 0, 0, false, nullptr, std::nullopt},
        {"new format, length past the end", hex("c2 05 04 00"), false, 0, 0, false, nullptr, std::nullopt},
        {"old format, length past the end", cat({hex("88 ff"), plain}), false, 0, 0, false, nullptr, std::nullopt},
        {"old format, 4-byte length cut", hex("8a 00 00"), false, 0, 0, false, nullptr, std::nullopt},
        {"old format, huge 4-byte length", cat({hex("8a ff ff ff ff"), plain}), false, 0, 0, false, nullptr, std::nullopt},
        {"bit 7 clear", cat({hex("08"), {uint8_t(plain.size())}, plain}), false, 0, 0, false, nullptr, std::nullopt},
        {"garbage after a packet", cat({oldPacket(2, plain), hex("00")}), false, 1, plain.size(), false, nullptr, std::nullopt},
        // Version 3 bodies.
        {"v3, 17 bytes", oldPacket(2, v3Sig(5, 17)), true, 1, 17, true, A, T},
        {"v3, 16 bytes", oldPacket(2, v3Sig(5, 16)), true, 1, 16, false, nullptr, std::nullopt},
        {"v3, hashed length 4", oldPacket(2, v3Sig(4, 40)), true, 1, 40, false, nullptr, std::nullopt},
        {"version 5", oldPacket(2, cat({hex("05"), plain})), true, 1, plain.size() + 1, false, nullptr, std::nullopt},
        {"version 2", oldPacket(2, v2), true, 1, 30, false, nullptr, std::nullopt},
        // Version 4 subpackets.
        {"issuer in the unhashed area", oldPacket(2, v4Sig(0, sub(2, CREATED), sub(16, ISSUER_B))), true, 1, 0, true, B, T},
        {"issuer in both areas: the hashed one", oldPacket(2, v4Sig(0, sub(16, ISSUER_A), sub(16, ISSUER_B))), true, 1, 0, true, A, std::nullopt},
        {"critical issuer yields none", oldPacket(2, v4Sig(0, cat({sub(2, CREATED), sub(144, ISSUER_A)}), {})), true, 1, 0, true, nullptr, T},
        {"critical creation time yields none", oldPacket(2, v4Sig(0, sub(130, CREATED), sub(16, ISSUER_A))), true, 1, 0, true, A, std::nullopt},
        {"critical issuer, then a plain one", oldPacket(2, v4Sig(0, sub(144, ISSUER_A), sub(16, ISSUER_B))), true, 1, 0, true, B, std::nullopt},
        {"short issuer fails", oldPacket(2, v4Sig(0, sub(16, hex("01 02 03 04 05 06 07")), {})), true, 1, 0, false, nullptr, std::nullopt},
        {"short creation time fails", oldPacket(2, v4Sig(0, sub(2, hex("65 53 f1")), sub(16, ISSUER_A))), true, 1, 0, false, nullptr, std::nullopt},
        {"later short issuer ignored", oldPacket(2, v4Sig(0, sub(16, ISSUER_A), sub(16, hex("01")))), true, 1, 0, true, A, std::nullopt},
        {"long issuer: first 8 bytes", oldPacket(2, v4Sig(0, sub(16, cat({ISSUER_A, ISSUER_B})), {})), true, 1, 0, true, A, std::nullopt},
        {"text signature: no issuer taken", oldPacket(2, v4Sig(1, cat({sub(2, CREATED), sub(16, ISSUER_A)}), {})), true, 1, 0, true, nullptr, std::nullopt},
        {"subpacket, 2-byte length", oldPacket(2, v4Sig(0, {}, cat({sub(20, padding(250)), sub(16, ISSUER_A)}))), true, 1, 0, true, A, std::nullopt},
        {"subpacket, 5-byte length", oldPacket(2, v4Sig(0, cat({hex("ff 00 00 00 09 10"), ISSUER_A}), {})), true, 1, 0, true, A, std::nullopt},
        {"subpacket, partial length octet", oldPacket(2, v4Sig(0, cat({hex("e0 10"), ISSUER_A}), {})), true, 1, 0, false, nullptr, std::nullopt},
        {"subpacket, length 0", oldPacket(2, v4Sig(0, hex("00"), sub(16, ISSUER_A))), true, 1, 0, false, nullptr, std::nullopt},
        {"subpacket past its area", oldPacket(2, v4Sig(0, hex("0a 10 01 02"), {})), true, 1, 0, false, nullptr, std::nullopt},
        {"subpacket, huge 5-byte length", oldPacket(2, v4Sig(0, hex("ff ff ff ff ff 10"), {})), true, 1, 0, false, nullptr, std::nullopt},
        {"v4, 5 bytes", oldPacket(2, hex("04 00 01 08 00")), true, 1, 5, false, nullptr, std::nullopt},
        {"v4, hashed area past the body", oldPacket(2, hex("04 00 01 08 00 03 02 00")), true, 1, 8, false, nullptr, std::nullopt},
        {"v4, no unhashed length", oldPacket(2, cat({hex("04 00 01 08 00 0a"), sub(16, ISSUER_A), hex("00")})), true, 1, 17, false, nullptr, std::nullopt},
        {"v4, unhashed area past the body", oldPacket(2, cat({hex("04 00 01 08 00 00 00 0b"), sub(16, ISSUER_A)})), true, 1, 18, false, nullptr, std::nullopt},
        {"v4, areas only", oldPacket(2, cat({hex("04 00 01 08 00 00 00 0a"), sub(16, ISSUER_A)})), true, 1, 18, true, A, std::nullopt},
    };
}

TEST(PGPPackets, EdgeCaseTable)
{
    LogCapture capture;
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const Bytes bytes = c.bytes; // exactly sized
        PGPPacketSeq packets;
        EXPECT_EQ(packets.append(bytes.data(), bytes.size()), c.splits);
        ASSERT_EQ(packets.size(), c.packets);
        if (!packets.empty()) {
            EXPECT_EQ(packets[0].body + packets[0].blen, bytes.data() + packets[0].size);
            if (c.firstBodyLength) {
                EXPECT_EQ(packets[0].blen, c.firstBodyLength);
            }
        }
        if (!c.splits)
            continue;
        PGPSigData sig;
        ASSERT_EQ(sig.parse(packets), c.parses);
        if (!c.parses)
            continue;
        EXPECT_EQ(sig.hasKeyId, c.keyId != nullptr);
        if (c.keyId) {
            EXPECT_EQ(keyIdToHex(sig.keyId), c.keyId);
        }
        EXPECT_EQ(sig.hasCreated, c.created.has_value());
        if (c.created) {
            EXPECT_EQ(sig.created, *c.created);
        }
    }
    EXPECT_TRUE(capture.has("ERROR: signature packet version 5 unknown"));
}

TEST(PGPPublicKey, KeyIdsByVersion)
{
    // Version 4: body "04 5f000000 01 ..."; its ID is the SHA-1 fingerprint's tail.
    const Bytes v4 = hex("04 5f 00 00 00 01 00 11 01 23 45 00 11 01 00 01");
    const Bytes v3Rsa = hex("03 5f 00 00 00 00 00 01 00 48 aa 11 22 33 44 55 66 77 88 00 02 03");
    const Bytes v3Dsa = hex("03 5f 00 00 00 00 00 11 00 48 aa 11 22 33 44 55 66 77 88");
    const Bytes v5 = hex("05 5f 00 00 00 16 00 00 00 00");
    const Bytes key = cat({oldPacket(6, v4), oldPacket(13, hex("41")), oldPacket(14, v3Rsa), newPacket(14, v3Dsa),
                           newPacket(6, v5), oldPacket(2, hex("04"))});
    std::vector<KeyId> ids;
    ASSERT_TRUE(publicKeyIds(key.data(), key.size(), ids));
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(keyIdToHex(ids[0]), "f70cd6622ceca9cb");
    EXPECT_EQ(keyIdToHex(ids[1]), "1122334455667788");

    ASSERT_TRUE(publicKeyIds(nullptr, 0, ids));
    EXPECT_TRUE(ids.empty());
}

TEST(PGPPublicKey, MalformedKeyPacketsFailAndLeaveTheListAlone)
{
    const Bytes good = oldPacket(6, hex("04 5f 00 00 00 01 00 11 01 23 45 00 11 01 00 01"));
    const Bytes bad[] = {
        oldPacket(6, {}),                                                     // no version
        oldPacket(14, hex("04 5f 00 00 00")),                                 // v4 without algorithm
        newPacket(6, cat({hex("04 5f 00 00 00 01"), padding(0x10000)})),      // too long to fingerprint
        oldPacket(6, hex("03 5f 00 00 00 00 00")),                            // v3 without algorithm
        oldPacket(6, hex("03 5f 00 00 00 00 00 01 00")),                      // v3 modulus length cut
        oldPacket(6, hex("03 5f 00 00 00 00 00 01 00 38 11 22 33 44 55 66 77")), // 56-bit modulus
        oldPacket(6, hex("03 5f 00 00 00 00 00 01 00 48 11 22 33 44 55 66 77 88")), // modulus cut
        hex("99 00 10 04"),                                                   // packet cut
    };
    for (const Bytes& packet : bad) {
        const Bytes key = cat({good, packet});
        std::vector<KeyId> ids{KeyId{9}};
        EXPECT_FALSE(publicKeyIds(key.data(), key.size(), ids)) << key.size();
        ASSERT_EQ(ids.size(), 1u);
        EXPECT_EQ(ids[0], KeyId{9});
    }
}

} // namespace
} // namespace updater::testing
