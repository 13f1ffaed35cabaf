// Hash functions by name and Base64 decoding: the small part of a hash
// library this program needs, over rpm's rpmio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace updater {

// A hash function known by its library name: "MD5", "SHA-1", "SHA-224",
// "SHA-256", "SHA-384", "SHA-512".
struct HashFunction {
    const char* name;
    int algorithm; // rpmio's PGPHASHALGO_*
    size_t digestSize;
};

// The function of that name, or null.
const HashFunction* hashFunctionFind(const char* name);

// One running hash. Not copyable; releases its state on destruction.
class HashContext {
public:
    HashContext() = default;
    ~HashContext();
    HashContext(const HashContext&) = delete;
    HashContext& operator=(const HashContext&) = delete;

    [[nodiscard]] bool init(const HashFunction& function);
    [[nodiscard]] bool update(const void* data, size_t length);
    // Finishes the hash into `out` (digestSize bytes); the context is spent.
    [[nodiscard]] bool digest(std::vector<unsigned char>& out);

private:
    void* m_ctx = nullptr; // rpmio DIGEST_CTX
};

// Decodes Base64 text (line breaks allowed); false for malformed text.
[[nodiscard]] bool b64decode(const std::string& text, std::vector<uint8_t>& out);

} // namespace updater
