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

struct TransactionSetFree {
    void operator()(rpmts ts) const { rpmtsFree(ts); }
};
using TransactionSet = std::unique_ptr<rpmts_s, TransactionSetFree>;

class RpmDB {
public:
    // A closed database; open() before use.
    RpmDB() = default;
    ~RpmDB() = default; // frees the transaction set: closing is done by destruction only
    RpmDB(const RpmDB&) = delete;
    RpmDB& operator=(const RpmDB&) = delete;

    // Opens the transaction set and the database read-only. A Berkeley DB
    // database that fails to open is recovered with db_recover and reopened,
    // once per process and only while no open has yet succeeded.
    // skipHeaderChecks: headers are not verified when read (much faster).
    // Fails on an object that is already open, leaving it as it was.
    [[nodiscard]] bool open(bool skipHeaderChecks);
    bool isOpen() const { return m_ts != nullptr; }

    // A new collection of every installed package (name, version, requires,
    // provides) in database order within a name, or null after logging the
    // reason (also when not open); never a partial list.
    std::unique_ptr<PackageCollection> getInstalledPackages();

    // True when some "gpg-pubkey" entry carries public keys.
    bool hasPublicKeys();
    // Every public key of the database, decoded: one byte vector per key.
    std::vector<std::vector<uint8_t>> readPublicKeys();
    // True when the package file's RSA or DSA header signature is verified
    // by rpm and made by one of the database's keys.
    [[nodiscard]] bool checkPackageSignature(const std::string& path);

private:
    bool isTrustedKey(const KeyId& keyId);
    bool checkSignatureHeader(Header header, rpmTagVal tag, const char* attempt, const std::string& fileName);

    TransactionSet m_ts;
    std::set<KeyId> m_trustedKeys;
    std::set<KeyId> m_unknownKeys;
};

} // namespace updater
