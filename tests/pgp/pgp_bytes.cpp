#include "pgp_bytes.h"

#include <stdexcept>

namespace updater::pgptest {

Bytes hex(const std::string& text)
{
    Bytes bytes;
    std::string digits;
    for (char c : text) {
        if (c == ' ')
            continue;
        digits += c;
        if (digits.size() == 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
            digits.clear();
        }
    }
    if (!digits.empty())
        throw std::invalid_argument("odd number of hex digits: " + text);
    return bytes;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes oldPacket(int tag, const Bytes& body)
{
    const size_t n = body.size();
    return cat({{static_cast<uint8_t>(0x81 | tag << 2), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)}, body});
}

// The shortest new-format length field for n.
static Bytes newLength(size_t n)
{
    if (n < 192)
        return {static_cast<uint8_t>(n)};
    if (n < 8384)
        return {static_cast<uint8_t>(((n - 192) >> 8) + 192), static_cast<uint8_t>(n - 192)};
    return {0xff, static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
            static_cast<uint8_t>(n)};
}

Bytes newPacket(int tag, const Bytes& body)
{
    return cat({{static_cast<uint8_t>(0xc0 | tag)}, newLength(body.size()), body});
}

Bytes sub(uint8_t type, const Bytes& data)
{
    return cat({newLength(data.size() + 1), {type}, data});
}

Bytes v4Sig(uint8_t sigType, const Bytes& hashed, const Bytes& unhashed, const Bytes& trailer)
{
    const size_t h = hashed.size();
    const size_t u = unhashed.size();
    return cat({{0x04, sigType, 0x01, 0x08, static_cast<uint8_t>(h >> 8), static_cast<uint8_t>(h)}, hashed,
                {static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u)}, unhashed, trailer});
}

} // namespace updater::pgptest
