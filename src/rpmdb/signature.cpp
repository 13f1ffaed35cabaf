// The public keys of the rpm database ("gpg-pubkey" entries) and the
// signature check of package files against them.
#include <cstdio>
#include <rpm/rpmlib.h>
#include <rpm/rpmtag.h>

#include "download/filehelpers.h"
#include "log/logger.h"
#include "pgp/pgp.h"
#include "platform/hash.h"
#include "platform/rpm54.h"
#include "rpmdb/dbdata.h"
#include "rpmdb/headertags.h"
#include "rpmdb/rpmhandles.h"

namespace updater {

namespace {

constexpr const char* PUBKEY_ENTRY_NAME = "gpg-pubkey";

// One way of reading a package: the verify flags leave out the other
// algorithm's header signature, so that rpm verifies the one checked.
struct SignatureAttempt {
    rpmVSFlags verifyFlags;
    rpmTagVal tag;
    const char* name;
};

constexpr SignatureAttempt ATTEMPTS[] = {
    {RPMVSF_NODSAHEADER, RPMTAG_RSAHEADER, "RSA"},
    {RPMVSF_NORSAHEADER, RPMTAG_DSAHEADER, "DSA"},
};

// Puts back the transaction set's verify flags and empties its caches when a
// package check ends, whichever way it ends.
class VerifyFlagsRestorer {
public:
    explicit VerifyFlagsRestorer(rpmts ts) : m_ts(ts), m_saved(rpmtsVSFlags(ts)) {}
    ~VerifyFlagsRestorer()
    {
        rpmtsSetVSFlags(m_ts, m_saved);
        rpmtsEmpty(m_ts);
    }
    VerifyFlagsRestorer(const VerifyFlagsRestorer&) = delete;
    VerifyFlagsRestorer& operator=(const VerifyFlagsRestorer&) = delete;

private:
    rpmts m_ts;
    rpmVSFlags m_saved;
};

Iterator publicKeyEntries(rpmts ts)
{
    return Iterator(ts ? rpmtsInitIterator(ts, RPMTAG_NAME, PUBKEY_ENTRY_NAME, 0) : nullptr);
}

// Appends the decoded keys of one entry's RPMTAG_PUBKEYS array.
void decodePublicKeys(Header header, std::vector<std::vector<uint8_t>>& keys)
{
    TagData texts = readTag(header, RPMTAG_PUBKEYS);
    if (!texts || rpmtdType(texts.get()) != RPM_STRING_ARRAY_TYPE || !texts->data) {
        LOG(warn, "failed reading public key entry");
        return;
    }
    auto strings = static_cast<const char* const*>(texts->data);
    for (rpm_count_t i = 0; i < rpmtdCount(texts.get()); ++i) {
        std::vector<uint8_t> key;
        if (strings[i] && b64decode(strings[i], key))
            keys.push_back(std::move(key));
        else
            LOG(warn, "failed base64 decode of public key data");
    }
}

void decodeAllEntries(rpmdbMatchIterator entries, std::vector<std::vector<uint8_t>>& keys)
{
    while (Header header = rpmmiNext(entries)) {
        if (headerIsEntry(header, RPMTAG_PUBKEYS))
            decodePublicKeys(header, keys);
    }
}

// Has rpm's packet printer write the signature's packets to standard error.
void dumpPackets(rpmts ts, const char* attempt, const uint8_t* bytes, size_t length)
{
    LOG(trace, "dumping %s data to stderr", attempt);
    (void)pgpPrtPkts(bytes, length, rpmtsDig(ts), 1);
    fflush(stderr);
    rpmtsCleanDig(ts);
}

} // namespace

bool RpmDB::hasPublicKeys()
{
    bool found = false;
    {
        Iterator entries = publicKeyEntries(m_ts.get());
        if (!entries) {
            LOG(trace, "no public keys found in rpm db");
            return false;
        }
        while (Header header = rpmmiNext(entries.get())) {
            if (headerIsEntry(header, RPMTAG_PUBKEYS)) {
                found = true;
                break;
            }
        }
    }
    rpmtsEmpty(m_ts.get());
    return found;
}

std::vector<std::vector<uint8_t>> RpmDB::readPublicKeys()
{
    std::vector<std::vector<uint8_t>> keys;
    {
        Iterator entries = publicKeyEntries(m_ts.get());
        if (entries)
            decodeAllEntries(entries.get(), keys);
        else
            LOG(trace, "no public keys found in rpm db");
    }
    rpmtsEmpty(m_ts.get());
    LOG(debug, "read %zu public keys from RPM DB", keys.size());
    return keys;
}

bool RpmDB::isTrustedKey(const KeyId& keyId)
{
    if (m_trustedKeys.count(keyId))
        return true;
    if (m_unknownKeys.count(keyId))
        return false;
    bool found = false;
    {
        Iterator entries(rpmtsInitPubkeyIterator(m_ts.get(), keyId.data(), keyId.size(), publicKeyIds));
        if (entries) {
            while (Header header = rpmmiNext(entries.get())) {
                if (headerIsEntry(header, RPMTAG_PUBKEYS)) {
                    found = true;
                    break;
                }
            }
            LOG(trace, "key %s%s found as entry in pubkey DB", keyIdToHex(keyId).c_str(), found ? "" : " not");
        } else {
            LOG(trace, "key %s not found while initializing iterator", keyIdToHex(keyId).c_str());
        }
    }
    rpmtsEmpty(m_ts.get());
    (found ? m_trustedKeys : m_unknownKeys).insert(keyId);
    return found;
}

bool RpmDB::checkSignatureHeader(Header header, rpmTagVal tag, const char* attempt, const std::string& fileName,
                                 KeyId& signer)
{
    if (!headerIsEntry(header, tag))
        return false;
    TagData entry = readTag(header, tag);
    if (!entry || rpmtdType(entry.get()) != RPM_BIN_TYPE || !entry->data) {
        LOG(error, "failed to get %s header entry from package '%s'", attempt, fileName.c_str());
        return false;
    }
    auto bytes = static_cast<const uint8_t*>(entry->data);
    size_t length = entry->count; // bytes of a binary entry (rpmtdCount gives 1 for them)
    if (logEnabled(LogLevel::trace))
        dumpPackets(m_ts.get(), attempt, bytes, length);

    PGPPacketSeq packets;
    if (!packets.append(bytes, length)) {
        LOG(error, "failed extracting %s header packets from package '%s'", attempt, fileName.c_str());
        return false;
    }
    PGPSigData signature;
    if (!signature.parse(packets)) {
        LOG(error, "failed parsing signature data from %s header from package '%s'", attempt, fileName.c_str());
        return false;
    }
    if (!signature.hasKeyId) {
        LOG(error, "could not find key ID from %s header from package '%s'", attempt, fileName.c_str());
        return false;
    }
    LOG(trace, "found v%u signature with key ID %s", unsigned{signature.version}, keyIdToHex(signature.keyId).c_str());
    // The parser takes only versions 3 and 4; kept so that a later parser
    // cannot widen what is accepted here.
    if (signature.version != 3 && signature.version != 4) {
        LOG(error, "unsupported %s signature v%u in package '%s'", attempt, unsigned{signature.version},
            fileName.c_str());
        return false;
    }
    signer = signature.keyId;
    if (!isTrustedKey(signature.keyId)) {
        LOG(debug, "%s signing key ID %s for package '%s' is not trusted", attempt,
            keyIdToHex(signature.keyId).c_str(), fileName.c_str());
        return false;
    }
    return true;
}

bool RpmDB::checkPackageSignature(const std::string& path)
{
    const std::string fileName = baseName(path);
    if (!m_ts) {
        LOG(error, "failed verifying package '%s'", fileName.c_str());
        return false;
    }
    // Declared first: restores the flags after the header and stream are gone.
    VerifyFlagsRestorer restorer(m_ts.get());
    rpmtsSetVSFlags(m_ts.get(), RPMVSF_DEFAULT);
    HeaderHandle header;
    for (const SignatureAttempt& attempt : ATTEMPTS) {
        // A package read before shows whether it has this signature at all.
        if (header && !headerIsEntry(header.get(), attempt.tag))
            continue;
        header.reset();
        Stream stream(Fopen(path.c_str(), "r"));
        if (!stream || Ferror(stream.get())) {
            LOG(error, "failed opening '%s' to check signature: %s", fileName.c_str(),
                stream ? Fstrerror(stream.get()) : errnoText().c_str());
            return false;
        }
        rpmtsSetVSFlags(m_ts.get(), attempt.verifyFlags);
        Header read = nullptr;
        rpmRC result = rpmReadPackageFile(m_ts.get(), stream.get(), fileName.c_str(), &read);
        header.reset(read);
        const bool unverified = result == RPMRC_NOKEY || result == RPMRC_NOTTRUSTED;
        if (result != RPMRC_OK && !unverified) {
            LOG(error, "failed verifying package '%s'", fileName.c_str());
            return false;
        }
        if (!header) {
            LOG(error, "no header on package '%s'", fileName.c_str());
            return false;
        }
        // rpm verifies the signature with the database's keys; when it could
        // not (no key it can use), the package is refused. The key look-up
        // still runs for its messages.
        KeyId signer{};
        const bool keyInDatabase = checkSignatureHeader(header.get(), attempt.tag, attempt.name, fileName, signer);
        if (keyInDatabase && !unverified)
            return true;
        if (keyInDatabase)
            LOG(error, "%s signing key ID %s for package '%s' is in the rpm DB, but rpm cannot use it", attempt.name,
                keyIdToHex(signer).c_str(), fileName.c_str());
        stream.reset();
        rpmtsEmpty(m_ts.get());
    }
    LOG(error, "no acceptable signature on package '%s'", fileName.c_str());
    return false;
}

} // namespace updater
