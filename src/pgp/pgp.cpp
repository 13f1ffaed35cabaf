#include "pgp/pgp.h"

#include <algorithm>
#include <cassert>

#include "log/logger.h"

namespace updater {

namespace {

constexpr int TAG_SIGNATURE = 2;
constexpr uint8_t SUBPACKET_CREATED = 2;
constexpr uint8_t SUBPACKET_ISSUER = 16;
constexpr uint8_t SIGTYPE_BINARY = 0;

// The length and header size of an old-format packet at `data` with `left`
// (at least 1) bytes remaining; the length type is in bits 0 and 1.
bool oldFormatLength(const uint8_t* data, size_t left, size_t& length, size_t& header)
{
    const unsigned lengthType = data[0] & 0x03;
    if (lengthType == 3) { // indeterminate: the rest of the buffer
        length = left - 1;
        header = 1;
        return true;
    }
    const size_t field = size_t{1} << lengthType; // 1, 2 or 4 bytes
    if (left - 1 < field)
        return false;
    length = getPGPVal(data + 1, field);
    header = 1 + field;
    return true;
}

// One packet at `data` with `left` (at least 1) bytes remaining.
bool readPacket(const uint8_t* data, size_t left, PGPPacket& packet)
{
    const uint8_t tagByte = data[0];
    if (!(tagByte & 0x80))
        return false;
    size_t header = 0;
    size_t length = 0;
    if (tagByte & 0x40) { // new format
        size_t field = 0;
        if (left < 2 || !decodeLength(data + 1, left - 1, length, field))
            return false;
        packet.tag = tagByte & 0x3f;
        header = 1 + field;
    } else {
        if (!oldFormatLength(data, left, length, header))
            return false;
        packet.tag = (tagByte >> 2) & 0x0f;
    }
    if (length > left - header)
        return false;
    packet.size = header + length;
    packet.blen = length;
    packet.body = data + header;
    return true;
}

// The first creation time and the first issuer of the subpackets (critical
// ones have bit 7 set in their type and do not match); false when one of
// them is too short.
bool takeSubpackets(PGPSigData& sig, const PGPSubPacketSeq& subpackets)
{
    for (const PGPSubPacket& subpacket : subpackets) {
        if (subpacket.type == SUBPACKET_CREATED && !sig.hasCreated) {
            if (subpacket.blen < 4)
                return false;
            sig.created = getPGPVal(subpacket.body, 4);
            sig.hasCreated = true;
        } else if (subpacket.type == SUBPACKET_ISSUER && !sig.hasKeyId) {
            if (subpacket.blen < sig.keyId.size())
                return false;
            std::copy(subpacket.body, subpacket.body + sig.keyId.size(), sig.keyId.begin());
            sig.hasKeyId = true;
        }
    }
    return true;
}

} // namespace

uint32_t getPGPVal(const uint8_t* bytes, size_t length)
{
    assert(length <= 4);
    uint32_t value = 0;
    for (size_t i = 0; i < length; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

bool decodeLength(const uint8_t* bytes, size_t available, size_t& length, size_t& fieldSize)
{
    if (available == 0)
        return false;
    const uint8_t first = bytes[0];
    size_t value = 0;
    size_t field = 0;
    if (first < 192) {
        value = first;
        field = 1;
    } else if (first <= 223) {
        if (available < 2)
            return false;
        value = ((size_t{first} - 192) << 8) + bytes[1] + 192;
        field = 2;
    } else if (first == 255) {
        if (available < 5)
            return false;
        value = getPGPVal(bytes + 1, 4);
        field = 5;
    } else {
        return false; // partial body length
    }
    if (value > available - field)
        return false;
    length = value;
    fieldSize = field;
    return true;
}

bool PGPPacketSeq::append(const uint8_t* data, size_t size)
{
    while (size > 0) {
        PGPPacket packet;
        if (!readPacket(data, size, packet))
            return false;
        push_back(packet);
        data += packet.size;
        size -= packet.size;
    }
    return true;
}

bool PGPSubPacketSeq::append(const uint8_t* data, size_t size)
{
    while (size > 0) {
        size_t length = 0;
        size_t field = 0;
        if (!decodeLength(data, size, length, field) || length < 1)
            return false;
        PGPSubPacket subpacket;
        subpacket.type = data[field];
        subpacket.size = field + length;
        subpacket.blen = length - 1;
        subpacket.body = data + field + 1;
        push_back(subpacket);
        data += subpacket.size;
        size -= subpacket.size;
    }
    return true;
}

bool PGPSigData::parse(const PGPPacketSeq& packets)
{
    auto signature = std::find_if(packets.begin(), packets.end(),
                                  [](const PGPPacket& packet) { return packet.tag == TAG_SIGNATURE; });
    return signature != packets.end() && parse(*signature);
}

bool PGPSigData::parse(const PGPPacket& packet)
{
    if (packet.tag != TAG_SIGNATURE || packet.blen == 0)
        return false;
    PGPSigData result = *this; // this record changes only on success
    result.version = packet.body[0];
    bool parsed = false;
    switch (result.version) {
    case 3:
        parsed = result.parseSigV3(packet);
        break;
    case 4:
        parsed = result.parseSigV4(packet);
        break;
    default:
        LOG(error, "signature packet version %u unknown", unsigned{result.version});
        return false;
    }
    if (parsed)
        *this = result;
    return parsed;
}

bool PGPSigData::parseSigV3(const PGPPacket& packet)
{
    const uint8_t* body = packet.body;
    if (packet.blen < 17 || body[1] != 5)
        return false;
    sigType = body[2];
    created = getPGPVal(body + 3, 4);
    hasCreated = true;
    std::copy(body + 7, body + 15, keyId.begin());
    hasKeyId = true;
    pubkeyAlgo = body[15];
    hashAlgo = body[16];
    return true;
}

bool PGPSigData::parseSigV4(const PGPPacket& packet)
{
    const uint8_t* body = packet.body;
    const size_t blen = packet.blen;
    if (blen < 6)
        return false;
    sigType = body[1];
    pubkeyAlgo = body[2];
    hashAlgo = body[3];
    const size_t hashedLength = getPGPVal(body + 4, 2);
    PGPSubPacketSeq subpackets;
    if (hashedLength > blen - 6 || !subpackets.append(body + 6, hashedLength))
        return false;
    if (blen < hashedLength + 8)
        return false;
    const size_t unhashedLength = getPGPVal(body + 6 + hashedLength, 2);
    if (unhashedLength > blen - hashedLength - 8 || !subpackets.append(body + 8 + hashedLength, unhashedLength))
        return false;
    // Only a binary-document signature is trusted to name its creation time
    // and issuer here.
    return sigType != SIGTYPE_BINARY || takeSubpackets(*this, subpackets);
}

std::string keyIdToHex(const KeyId& keyId)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * keyId.size());
    for (uint8_t byte : keyId) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}

} // namespace updater
