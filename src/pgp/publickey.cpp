// Key IDs of the key packets of a transferable public key (RFC 4880 12.2).
#include <algorithm>
#include <utility>

#include "log/logger.h"
#include "pgp/pgp.h"
#include "platform/hash.h"

namespace updater {

namespace {

constexpr int TAG_PUBLIC_KEY = 6;
constexpr int TAG_PUBLIC_SUBKEY = 14;
// Version, creation time and algorithm: the fixed start of a v4 key body.
constexpr size_t V4_FIXED_SIZE = 6;
// Both versions store the creation time in the four bytes after the version.
constexpr size_t CREATION_OFFSET = 1;
constexpr size_t CREATION_SIZE = 4;
// A v3 key: version, creation time, validity days, algorithm, then the modulus.
constexpr size_t V3_ALGORITHM_OFFSET = 7;
constexpr size_t V3_MODULUS_OFFSET = 8;

bool isRsa(uint8_t algorithm)
{
    return algorithm >= 1 && algorithm <= 3; // RSA, RSA encrypt-only, RSA sign-only
}

// The low 8 bytes of the SHA-1 fingerprint: 0x99, the two-byte body length, the body.
bool v4KeyId(const PGPPacket& packet, KeyId& id)
{
    if (packet.blen < V4_FIXED_SIZE || packet.blen > 0xffff)
        return false;
    const uint8_t prefix[3] = {0x99, static_cast<uint8_t>(packet.blen >> 8), static_cast<uint8_t>(packet.blen)};
    const HashFunction* sha1 = hashFunctionFind("SHA-1");
    HashContext context;
    std::vector<unsigned char> digest;
    if (!sha1 || !context.init(*sha1) || !context.update(prefix, sizeof prefix) ||
        !context.update(packet.body, packet.blen) || !context.digest(digest) || digest.size() < id.size()) {
        LOG(error, "failed computing SHA-1 fingerprint of public key");
        return false;
    }
    std::copy(digest.end() - id.size(), digest.end(), id.begin());
    return true;
}

// The low 64 bits of the modulus, the first MPI (two-byte bit count, then the bytes).
bool v3KeyId(const PGPPacket& packet, KeyId& id)
{
    if (packet.blen < V3_MODULUS_OFFSET + 2)
        return false;
    const size_t bytes = (getPGPVal(packet.body + V3_MODULUS_OFFSET, 2) + 7) / 8;
    if (bytes < id.size() || bytes > packet.blen - V3_MODULUS_OFFSET - 2)
        return false;
    const uint8_t* end = packet.body + V3_MODULUS_OFFSET + 2 + bytes;
    std::copy(end - id.size(), end, id.begin());
    return true;
}

// Appends the ID of one key packet when its version has one; false when the
// packet is malformed.
bool addKeyId(const PGPPacket& packet, std::vector<KeyId>& ids)
{
    if (packet.blen == 0)
        return false;
    KeyId id{};
    switch (packet.body[0]) {
    case 4:
        if (!v4KeyId(packet, id))
            return false;
        break;
    case 3:
        if (packet.blen <= V3_ALGORITHM_OFFSET)
            return false;
        if (!isRsa(packet.body[V3_ALGORITHM_OFFSET]))
            return true;
        if (!v3KeyId(packet, id))
            return false;
        break;
    default:
        return true;
    }
    ids.push_back(id);
    return true;
}

} // namespace

bool publicKeyIds(const uint8_t* data, size_t size, std::vector<KeyId>& ids)
{
    PGPPacketSeq packets;
    if (!packets.append(data, size))
        return false;
    std::vector<KeyId> found;
    for (const PGPPacket& packet : packets) {
        if ((packet.tag == TAG_PUBLIC_KEY || packet.tag == TAG_PUBLIC_SUBKEY) && !addKeyId(packet, found))
            return false;
    }
    ids = std::move(found);
    return true;
}

uint32_t newestKeyCreation(const std::vector<std::vector<uint8_t>>& keys)
{
    uint32_t newest = 0;
    for (const std::vector<uint8_t>& key : keys) {
        PGPPacketSeq packets;
        if (!packets.append(key.data(), key.size()))
            continue;
        for (const PGPPacket& packet : packets) {
            const bool isKey = packet.tag == TAG_PUBLIC_KEY || packet.tag == TAG_PUBLIC_SUBKEY;
            if (isKey && packet.blen >= CREATION_OFFSET + CREATION_SIZE && (packet.body[0] == 3 || packet.body[0] == 4))
                newest = std::max(newest, getPGPVal(packet.body + CREATION_OFFSET, CREATION_SIZE));
        }
    }
    return newest;
}

} // namespace updater
