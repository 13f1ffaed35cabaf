// Read access to the rpm database: installed packages, public keys and the
// signature check of package files.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <rpm/header.h>
#include <rpm/rpmts.h>

#include "repo/package.h"

namespace updater {

using KeyId = std::array<uint8_t, 8>;

class RpmDB {
public:
    RpmDB() = default;
    ~RpmDB(); // frees the transaction set; closing is done by destruction only
    RpmDB(const RpmDB&) = delete;
    RpmDB& operator=(const RpmDB&) = delete;

    // Opens the transaction set and the database read-only, recovering a
    // Berkeley DB database once per process. skipHeaderChecks: headers are
    // not verified when read.
    [[nodiscard]] bool open(bool skipHeaderChecks);
    bool isOpen() const { return m_ts != nullptr; }

    // A new collection of every installed package (name, version, requires,
    // provides), or null after logging the reason; never a partial list.
    std::unique_ptr<PackageCollection> getInstalledPackages();

    // True when some "gpg-pubkey" entry carries public keys.
    bool hasPublicKeys();
    // Every public key of the database, decoded: one byte vector per key.
    std::vector<std::vector<uint8_t>> readPublicKeys();
    // True when the package file's RSA or DSA header signature is verified
    // by rpm and made by one of the database's keys.
    [[nodiscard]] bool checkPackageSignature(const std::string& path);

private:
    bool openDatabase();
    bool isTrustedKey(const KeyId& keyId);
    bool checkSignatureHeader(Header header, rpmTagVal tag, const char* attempt, const std::string& fileName);

    rpmts m_ts = nullptr;
    std::set<KeyId> m_trustedKeys;
    std::set<KeyId> m_unknownKeys;
};

} // namespace updater
