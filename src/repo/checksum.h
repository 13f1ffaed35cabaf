// File checksums from repository metadata ("sha" and "sha256"), checked as
// stored or after gzip decompression.
#pragma once

#include <string>
#include <vector>

#include "evr/pooledstring.h"

namespace updater {

struct Checksum {
    StoredString value; // expected digest, hexadecimal; empty when the metadata has none
    PooledString type;  // metadata type name: "sha", "sha256", ...

    // Raw digest of the file's bytes, or of its gzip-decompressed content.
    [[nodiscard]] bool digest(const std::string& path, bool uncompressed, std::vector<unsigned char>& out) const;
    // True when the file (or its decompressed content) matches `value`.
    [[nodiscard]] bool check(const std::string& path, bool uncompressed) const;
    [[nodiscard]] bool checkFile(const std::string& path) const { return check(path, false); }
    [[nodiscard]] bool checkUncompressed(const std::string& path) const { return check(path, true); }
};

// Two lower-case hex digits per byte, high nibble first.
std::string hexText(const unsigned char* bytes, size_t length);

} // namespace updater
