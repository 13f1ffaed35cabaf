// OpenPGP keys made by gpg for the tests, each in its own home directory:
// exported for rpm's database, signing packages with rpmsign and files with
// detached signatures.
#pragma once

#include <string>

#include "testing/testing.h"

namespace updater::testing {

class GpgKey {
public:
    // A new key pair that signs, e.g. algorithm "rsa2048" or "dsa2048".
    GpgKey(const std::string& name, const std::string& algorithm);
    // Stops the gpg-agent that serves the key's home.
    ~GpgKey();
    GpgKey(const GpgKey&) = delete;
    GpgKey& operator=(const GpgKey&) = delete;

    // Adds a signing subkey, which gpg then signs with.
    void addSigningSubkey(const std::string& algorithm);

    // Key ID (16 lower-case hex digits) of the primary key and of the newest subkey.
    std::string keyId() const { return field("pub", 5); }
    std::string subkeyId() const { return field("sub", 5); }
    // The public key as gpg exports it: binary packets, and Base64 of them.
    std::string publicKey() const;
    std::string publicKeyBase64() const;
    // Imports the public key into the rpm database at dbpath with "rpm --import".
    void importInto(const std::string& dbpath) const;
    // A copy of the package in outDir signed by rpmsign with this key; its path.
    std::string signPackage(const std::string& package, const std::string& outDir) const;
    // Writes an armored detached signature of the file to `signature`.
    void detachSign(const std::string& file, const std::string& signature) const;

private:
    std::string gpg(const std::string& arguments) const;
    // Field (1-based) of the last line of that type in gpg's key listing.
    std::string field(const std::string& type, int index) const;

    std::string m_uid;
    TemporaryDirectory m_home;
};

} // namespace updater::testing
