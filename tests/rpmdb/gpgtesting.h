// OpenPGP keys made by gpg for the tests, each in its own home directory:
// exported for rpm's database, signing packages with rpmsign and files with
// detached signatures.
#pragma once

#include <gtest/gtest.h>
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

    // Adds a subkey; gpg then signs with a signing one.
    void addSubkey(const std::string& algorithm, const std::string& usage = "sign");

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
    // Writes a detached signature of the file to `signature`.
    void detachSign(const std::string& file, const std::string& signature,
                    const std::string& options = "--armor") const;
    // Runs gpg over the key's home; its standard output.
    std::string gpg(const std::string& arguments) const;

private:
    // Field (1-based) of the last line of that type in gpg's key listing.
    std::string field(const std::string& type, int index) const;

    std::string m_uid;
    TemporaryDirectory m_home;
};

// The keys the signature tests share, made once per test program: an RSA key,
// a DSA key and a key that signs with an RSA subkey, all three imported into
// the rpm database of the device root, and an RSA key that stays outside.
struct DatabaseKeys {
    GpgKey rsa{"rsa", "rsa2048"};
    GpgKey dsa{"dsa", "dsa2048"};
    GpgKey subkeyed{"subkeyed", "rsa2048"};
    GpgKey outsider{"outsider", "rsa2048"};
};

// Makes the keys before the first test; a test program registers it with
// ::testing::AddGlobalTestEnvironment and reaches the keys by keys().
class DatabaseKeysEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    static const DatabaseKeys& keys();
};

} // namespace updater::testing
