// Builders of OpenPGP byte strings for the tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace updater::pgptest {

using Bytes = std::vector<uint8_t>;

// "c2 0a ff": hexadecimal byte pairs, blanks ignored.
Bytes hex(const std::string& text);
Bytes cat(std::initializer_list<Bytes> parts);
// Old-format packet with a two-byte length (tag below 16).
Bytes oldPacket(int tag, const Bytes& body);
// New-format packet with the shortest length form.
Bytes newPacket(int tag, const Bytes& body);
// Signature subpacket with a one- or two-byte length.
Bytes sub(uint8_t type, const Bytes& data);
// Version 4 signature body (RSA, SHA-256) with the given subpacket areas and,
// after them, the hash prefix and the signature value.
Bytes v4Sig(uint8_t sigType, const Bytes& hashed, const Bytes& unhashed, const Bytes& trailer = hex("ab cd 00 00"));

} // namespace updater::pgptest
