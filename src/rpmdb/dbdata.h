// Read access to the rpm database: installed packages, public keys and the
// signature check of package files.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <rpm/header.h>
#include <rpm/rpmts.h>

#include "pgp/pgp.h"
#include "repo/package.h"

namespace updater {

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
    // Whether a package of this name and epoch-version-release is installed.
    bool isInstalled(const Package& package);

    // True when some "gpg-pubkey" entry carries public keys.
    bool hasPublicKeys();
    // Every public key of the database, decoded from Base64: one byte vector
    // of OpenPGP packets per key, in database and array order. Entries that
    // cannot be read or decoded are left out with a warning; never fails.
    std::vector<std::vector<uint8_t>> readPublicKeys();
    // True when rpm itself verifies the package file's RSA (else DSA) header
    // signature with a key of the database, and that signature names one of
    // the database's keys. A signature rpm could not verify fails, whatever
    // the key look-up finds. Messages name the file by its last path
    // component. The verify flags are restored after.
    [[nodiscard]] bool checkPackageSignature(const std::string& path);

    // The transaction set's signature and digest verify flags.
    rpmVSFlags verifyFlags() const { return m_ts ? rpmtsVSFlags(m_ts.get()) : rpmVSFlags{RPMVSF_DEFAULT}; }

private:
    // Whether a key ID belongs to a key of the database. Each ID is looked up
    // once per object; the answer is kept in one of the two caches.
    bool isTrustedKey(const KeyId& keyId);
    // Whether the header's signature entry `tag` is a v3 or v4 signature by a
    // key of the database; `attempt` ("RSA", "DSA") and fileName are for
    // messages. `signer` receives the key ID once it is known.
    bool checkSignatureHeader(Header header, rpmTagVal tag, const char* attempt, const std::string& fileName,
                              KeyId& signer);

    TransactionSet m_ts;
    std::set<KeyId> m_trustedKeys;
    std::set<KeyId> m_unknownKeys;
};

} // namespace updater
