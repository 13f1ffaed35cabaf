#include "gpgtesting.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <rpm/rpmlib.h>
#include <sstream>

namespace updater::testing {

GpgKey::GpgKey(const std::string& name, const std::string& algorithm) : m_uid(name + " <" + name + "@updater.test>")
{
    gpg("--passphrase '' --quick-gen-key '" + m_uid + "' " + algorithm + " sign never");
}

GpgKey::~GpgKey()
{
    std::system(("gpgconf --homedir " + m_home.path() + " --kill gpg-agent >/dev/null 2>&1").c_str());
}

void GpgKey::addSubkey(const std::string& algorithm, const std::string& usage)
{
    gpg("--passphrase '' --quick-add-key " + field("fpr", 10) + " " + algorithm + " " + usage + " never");
}

std::string GpgKey::gpg(const std::string& arguments) const
{
    return runCommand("gpg --homedir " + m_home.path() + " --batch --quiet " + arguments);
}

std::string GpgKey::field(const std::string& type, int index) const
{
    std::istringstream listing(gpg("--with-colons --list-keys '" + m_uid + "'"));
    std::string found;
    for (std::string line; std::getline(listing, line);) {
        if (line.rfind(type + ":", 0) != 0)
            continue;
        std::istringstream fields(line);
        std::string value;
        for (int i = 0; i < index && std::getline(fields, value, ':'); ++i) {
        }
        found = value;
        if (type == "fpr")
            break; // the primary key's fingerprint comes first
    }
    for (char& c : found)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return found;
}

std::string GpgKey::publicKey() const
{
    return gpg("--export '" + m_uid + "'");
}

std::string GpgKey::publicKeyBase64() const
{
    return runCommand("gpg --homedir " + m_home.path() + " --batch --quiet --export '" + m_uid + "' | base64 -w0");
}

void GpgKey::importInto(const std::string& dbpath) const
{
    std::string armored = m_home.write("public.asc", gpg("--armor --export '" + m_uid + "'"));
    runCommand("rpm --dbpath " + dbpath + " --import " + armored);
}

std::string GpgKey::signPackage(const std::string& package, const std::string& outDir) const
{
    std::filesystem::create_directories(outDir);
    std::string target = outDir + "/" + std::filesystem::path(package).filename().string();
    std::filesystem::copy_file(package, target, std::filesystem::copy_options::overwrite_existing);
    runCommand("rpmsign --addsign --define '_gpg_name " + m_uid + "' --define '_gpg_path " + m_home.path() +
        "' --define '__gpg /usr/bin/gpg' " + target + " </dev/null >/dev/null");
    return target;
}

void GpgKey::detachSign(const std::string& file, const std::string& signature, const std::string& options) const
{
    gpg("--yes " + options + " --detach-sign -u '" + m_uid + "' -o " + signature + " " + file);
}

namespace {
DatabaseKeys* databaseKeys = nullptr;
}

void DatabaseKeysEnvironment::SetUp()
{
    ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0);
    databaseKeys = new DatabaseKeys;
    databaseKeys->subkeyed.addSubkey("rsa2048");
    for (const GpgKey* key : {&databaseKeys->rsa, &databaseKeys->dsa, &databaseKeys->subkeyed})
        key->importInto("/var/lib/rpm");
}

void DatabaseKeysEnvironment::TearDown()
{
    delete databaseKeys;
    databaseKeys = nullptr;
}

const DatabaseKeys& DatabaseKeysEnvironment::keys()
{
    return *databaseKeys;
}

} // namespace updater::testing
