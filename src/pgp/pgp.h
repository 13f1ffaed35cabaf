// OpenPGP packet structure (RFC 4880): splitting a buffer into packets and
// signature subpackets, reading the fields of a version 3 or 4 signature, and
// the key IDs of a public key. No signature is verified here.
//
// The bytes come from packages and key entries of untrusted origin: every
// length is checked against the buffer before it is used, malformed input
// gives false, and nothing is read outside the buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace updater {

// An 8-byte OpenPGP key ID in packet byte order; ordered byte-wise.
using KeyId = std::array<uint8_t, 8>;

// One packet: a view into the caller's buffer.
struct PGPPacket {
    int tag = 0;                   // packet tag (2 = signature)
    size_t size = 0;               // bytes the packet takes, header included
    size_t blen = 0;               // body length
    const uint8_t* body = nullptr; // first body byte
};

// One signature subpacket: a view into the caller's buffer.
struct PGPSubPacket {
    int type = 0;                  // type byte as stored: bit 7 is the critical flag
    size_t size = 0;               // bytes taken, length field and type byte included
    size_t blen = 0;               // data length, without the type byte
    const uint8_t* body = nullptr; // first data byte after the type byte
};

// The packets of a buffer in order. Owns no bytes: the buffer must outlive it.
struct PGPPacketSeq : std::vector<PGPPacket> {
    // Appends every packet of the buffer; false at the first malformed one
    // (packets before it stay appended; the caller drops the sequence).
    // Partial body lengths are not supported. An empty buffer gives true.
    [[nodiscard]] bool append(const uint8_t* data, size_t size);
};

// The subpackets of a signature's subpacket area, same ownership as above.
struct PGPSubPacketSeq : std::vector<PGPSubPacket> {
    [[nodiscard]] bool append(const uint8_t* data, size_t size);
};

// The fields of a signature packet. Start from a default record: the flags
// clear and the numbers zero.
struct PGPSigData {
    uint8_t version = 0;    // signature packet version (first body byte)
    uint8_t sigType = 0;    // signature type (0: binary document)
    uint32_t created = 0;   // creation time in seconds since 1970, when hasCreated
    KeyId keyId{};          // issuer key ID, when hasKeyId
    uint8_t pubkeyAlgo = 0; // public-key algorithm number
    uint8_t hashAlgo = 0;   // hash algorithm number
    bool hasCreated = false;
    bool hasKeyId = false;

    // Parses the first signature packet (tag 2) of the sequence; false when
    // there is none or it is malformed.
    [[nodiscard]] bool parse(const PGPPacketSeq& packets);
    // Parses one signature packet by its version; an unknown version is
    // logged ("signature packet version %u unknown") and gives false. The
    // record changes only when the parse succeeds.
    [[nodiscard]] bool parse(const PGPPacket& packet);
    // Version 3 and 4 bodies (RFC 4880 5.2.2, 5.2.3), for a body that is not
    // empty and starts with that version; they fill the record as they go.
    // A version 4 signature yields a creation time and issuer only from the
    // non-critical subpackets of a binary-document signature (type 0), the
    // first of each kind, hashed area before unhashed.
    [[nodiscard]] bool parseSigV3(const PGPPacket& packet);
    [[nodiscard]] bool parseSigV4(const PGPPacket& packet);
};

// Big-endian unsigned value of `length` bytes; `length` is 1 to 4.
uint32_t getPGPVal(const uint8_t* bytes, size_t length);

// Decodes a new-format packet or subpacket length at `bytes`, of which
// `available` bytes may be read: gives the length and the bytes the length
// field takes. False when the field is cut off, uses a partial-length octet
// (224 to 254) or the length runs past `available`.
[[nodiscard]] bool decodeLength(const uint8_t* bytes, size_t available, size_t& length, size_t& fieldSize);

// 16 lower-case hexadecimal digits, two per byte in stored order.
std::string keyIdToHex(const KeyId& keyId);

// The key IDs of a transferable public key (the binary packets of one
// "gpg-pubkey" entry): one per public-key (tag 6) and public-subkey (tag 14)
// packet, in packet order. Version 4 keys: the low 8 bytes of the SHA-1
// fingerprint; version 3 RSA keys: the low 64 bits of the modulus; other
// versions and v3 keys of other algorithms give no ID. False, with `ids`
// untouched, when the packets or a key packet are malformed.
[[nodiscard]] bool publicKeyIds(const uint8_t* data, size_t size, std::vector<KeyId>& ids);

// The newest creation time (seconds since 1970) of the version 3 and 4 key
// and subkey packets of the keys, each key as publicKeyIds takes it; 0 when
// there is none. Keys that do not parse are passed over.
uint32_t newestKeyCreation(const std::vector<std::vector<uint8_t>>& keys);

} // namespace updater
