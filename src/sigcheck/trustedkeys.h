// The check of a detached OpenPGP signature (the repository index's) against
// exactly the public keys of the rpm database, by the system's gpgv.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace updater {

class TrustedKeys {
public:
    // Appends every public key of the rpm database (opened with header
    // checks). False only when the database cannot be opened; no key at all
    // is success.
    [[nodiscard]] bool loadFromRpmDb();

    // Writes the keys, one after the other, into a new owner-only file
    // "/tmp/updater.XXXXXX" and stores its path in `path`. On failure no file
    // is left and errno tells why.
    [[nodiscard]] bool writeKeyring(std::string& path) const;

    // True only when gpgv finds `signature` a good signature of `file` by one
    // of the keys. The keyring written for it is removed afterwards.
    [[nodiscard]] bool verify(const std::string& file, const std::string& signature) const;

    // Each key: the OpenPGP packets of one public key.
    const std::vector<std::vector<uint8_t>>& keys() const { return m_keys; }

private:
    std::vector<std::vector<uint8_t>> m_keys;
};

} // namespace updater
