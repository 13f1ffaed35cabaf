// File checksums from repository metadata (SHA-1 as "sha" or "sha1", and the
// SHA-2 types "sha224", "sha256", "sha384", "sha512"), checked as stored or
// after decompression.
#pragma once

#include <string>
#include <vector>

#include "evr/pooledstring.h"

namespace updater {

class HashContext;

struct Checksum {
    StoredString value; // expected digest, hexadecimal; empty when the metadata has none
    PooledString type;  // metadata type name: "sha", "sha256", ...

    // Starts `hash` with this checksum's function. False, logged, for MD5
    // (warned once per process) and for an unknown type (once per file).
    [[nodiscard]] bool start(HashContext& hash, const std::string& path) const;
    // Finishes a started hash of `path` and compares it with `value`.
    [[nodiscard]] bool matches(HashContext& hash, const std::string& path) const;

    // Raw digest of the file's bytes, or of its decompressed content.
    [[nodiscard]] bool digest(const std::string& path, bool uncompressed, std::vector<unsigned char>& out) const;
    // True when the file (or its decompressed content) matches `value`.
    [[nodiscard]] bool check(const std::string& path, bool uncompressed) const;
    [[nodiscard]] bool checkFile(const std::string& path) const { return check(path, false); }
    [[nodiscard]] bool checkUncompressed(const std::string& path) const { return check(path, true); }
};

// Two lower-case hex digits per byte, high nibble first.
std::string hexText(const unsigned char* bytes, size_t length);

} // namespace updater
