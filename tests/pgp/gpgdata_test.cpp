// Keys and signatures made by gpg in a throwaway home: the IDs read here must
// be the ones gpg itself reports.
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <sstream>

#include "pgp/pgp.h"
#include "pgp_bytes.h"
#include "testing/testing.h"

using namespace updater;
using namespace updater::pgptest;
using updater::testing::runCommand;

namespace {

struct TestKey {
    const char* uid;
    const char* algorithm;
    const char* subkeyAlgorithm;
};

const TestKey KEYS[] = {
    {"RSA Key <rsa@updater.test>", "rsa2048", "rsa2048"},
    {"DSA Key <dsa@updater.test>", "dsa2048", "cv25519"},
    {"EdDSA Key <eddsa@updater.test>", "ed25519", "cv25519"},
};

class GpgData : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        home = new updater::testing::TemporaryDirectory;
        for (const TestKey& key : KEYS) {
            gpg("--passphrase '' --quick-gen-key '" + std::string(key.uid) + "' " + key.algorithm + " sign never");
            gpg("--passphrase '' --quick-add-key " + colonField(key.uid, "fpr", 9) + " " + key.subkeyAlgorithm +
                " encr never");
        }
        home->write("data", "the document that is signed\n");
    }

    static void TearDownTestSuite()
    {
        runCommand("gpgconf --homedir '" + home->path() + "' --kill all");
        delete home;
        home = nullptr;
    }

    static std::string gpg(const std::string& arguments)
    {
        return runCommand("gpg --homedir '" + home->path() + "' --batch --quiet --no-tty " + arguments);
    }

    // Field `index` of every colon-listing line of the given record type.
    static std::vector<std::string> colonFields(const char* uid, const std::string& record, size_t index)
    {
        std::istringstream lines(gpg("--with-colons --list-keys '" + std::string(uid) + "'"));
        std::vector<std::string> values;
        for (std::string line; std::getline(lines, line);) {
            std::vector<std::string> fields;
            std::istringstream parts(line);
            for (std::string field; std::getline(parts, field, ':');)
                fields.push_back(field);
            if (fields.size() > index && fields[0] == record)
                values.push_back(fields[index]);
        }
        return values;
    }

    static std::string colonField(const char* uid, const std::string& record, size_t index)
    {
        const std::vector<std::string> values = colonFields(uid, record, index);
        return values.empty() ? std::string() : values[0];
    }

    static Bytes readBytes(const std::string& path)
    {
        const std::string text = updater::testing::readFile(path);
        return Bytes(text.begin(), text.end());
    }

    static Bytes exportKey(const char* uid)
    {
        gpg("--yes --output '" + home->file("key.gpg") + "' --export '" + uid + "'");
        return readBytes(home->file("key.gpg"));
    }

    static Bytes sign(const char* uid, const std::string& options)
    {
        gpg("--yes " + options + " --local-user '" + uid + "' --output '" + home->file("data.sig") +
            "' --detach-sign '" + home->file("data") + "'");
        return readBytes(home->file("data.sig"));
    }

    static std::string lower(std::string text)
    {
        for (char& c : text)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        return text;
    }

    static updater::testing::TemporaryDirectory* home;
};

updater::testing::TemporaryDirectory* GpgData::home = nullptr;

TEST_F(GpgData, PublicKeyIdsAreGpgsKeyIds)
{
    for (const TestKey& key : KEYS) {
        SCOPED_TRACE(key.uid);
        const Bytes exported = exportKey(key.uid);
        std::vector<KeyId> ids;
        ASSERT_TRUE(publicKeyIds(exported.data(), exported.size(), ids));
        std::vector<std::string> texts;
        for (const KeyId& id : ids)
            texts.push_back(keyIdToHex(id));
        const std::vector<std::string> expected{lower(colonField(key.uid, "pub", 4)),
                                                lower(colonField(key.uid, "sub", 4))};
        EXPECT_EQ(texts, expected);
    }
}

TEST_F(GpgData, DetachedSignatureFieldsAreGpgsPacketFields)
{
    const std::regex header(":signature packet: algo ([0-9]+), keyid ([0-9A-F]{16})");
    const std::regex details("version ([0-9]+), created ([0-9]+), md5len 0, sigclass 0x([0-9a-f]{2})");
    const std::regex digest("digest algo ([0-9]+),");
    for (const TestKey& key : KEYS) {
        SCOPED_TRACE(key.uid);
        const Bytes signature = sign(key.uid, "");
        const std::string listing = gpg("--list-packets '" + home->file("data.sig") + "'");
        std::smatch h, d, g;
        ASSERT_TRUE(std::regex_search(listing, h, header)) << listing;
        ASSERT_TRUE(std::regex_search(listing, d, details)) << listing;
        ASSERT_TRUE(std::regex_search(listing, g, digest)) << listing;

        PGPPacketSeq packets;
        ASSERT_TRUE(packets.append(signature.data(), signature.size()));
        PGPSigData sig;
        ASSERT_TRUE(sig.parse(packets));
        ASSERT_TRUE(sig.hasKeyId);
        EXPECT_EQ(keyIdToHex(sig.keyId), lower(h[2]));
        EXPECT_EQ(keyIdToHex(sig.keyId), lower(colonField(key.uid, "pub", 4)));
        EXPECT_EQ(std::to_string(sig.pubkeyAlgo), h[1]);
        EXPECT_EQ(std::to_string(sig.version), d[1]);
        ASSERT_TRUE(sig.hasCreated);
        EXPECT_EQ(std::to_string(sig.created), d[2]);
        EXPECT_EQ(sig.sigType, 0);
        EXPECT_EQ(std::to_string(sig.hashAlgo), g[1]);
    }
}

// A text-mode signature (type 1) is not a package signature: no issuer is taken.
TEST_F(GpgData, TextSignatureYieldsNoIssuer)
{
    const Bytes signature = sign(KEYS[0].uid, "--textmode");
    PGPPacketSeq packets;
    ASSERT_TRUE(packets.append(signature.data(), signature.size()));
    PGPSigData sig;
    ASSERT_TRUE(sig.parse(packets));
    EXPECT_EQ(sig.sigType, 1);
    EXPECT_FALSE(sig.hasKeyId);
    EXPECT_FALSE(sig.hasCreated);
}

// A key cut short anywhere but between two packets is refused; cut between
// packets, it gives the IDs of the key packets before the cut.
TEST_F(GpgData, TruncatedKeyIsRefusedUnlessCutBetweenPackets)
{
    const Bytes exported = exportKey(KEYS[1].uid);
    PGPPacketSeq whole;
    ASSERT_TRUE(whole.append(exported.data(), exported.size()));
    ASSERT_GE(whole.size(), 4u);
    std::vector<size_t> boundaries{0};
    for (const PGPPacket& packet : whole)
        boundaries.push_back(boundaries.back() + packet.size);
    for (size_t n = 0; n < exported.size(); ++n) {
        const Bytes cut(exported.begin(), exported.begin() + n);
        std::vector<KeyId> ids;
        const bool atBoundary = std::find(boundaries.begin(), boundaries.end(), n) != boundaries.end();
        EXPECT_EQ(publicKeyIds(cut.data(), cut.size(), ids), atBoundary) << n;
    }
}

} // namespace
