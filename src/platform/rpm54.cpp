#include "platform/rpm54.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmtag.h>
#include <rpm/rpmtd.h>
#include <string>

#include "platform/hash.h"

namespace updater {

namespace {

std::map<int, int>& registrations()
{
    static std::map<int, int> counts;
    return counts;
}

std::string expandMacro(const char* macro)
{
    char* expanded = rpmExpand(macro, nullptr);
    std::string text = expanded ? expanded : "";
    free(expanded);
    return text;
}

pgpDig& transactionDig()
{
    static pgpDig dig = nullptr;
    return dig;
}

struct IteratorFree {
    void operator()(rpmdbMatchIterator mi) const { rpmdbFreeIterator(mi); }
};

struct TagDataFree {
    void operator()(rpmtd td) const
    {
        rpmtdFreeData(td);
        rpmtdFree(td);
    }
};

// Whether one Base64 text of a public key entry decodes to a key with a key
// or subkey packet of that ID.
bool textHoldsKey(const char* text, const std::array<uint8_t, 8>& keyId, PublicKeyIdsFunction keyIds)
{
    std::vector<uint8_t> key;
    std::vector<std::array<uint8_t, 8>> ids;
    if (!text || !b64decode(text, key) || !keyIds(key.data(), key.size(), ids))
        return false;
    for (const auto& id : ids) {
        if (id == keyId)
            return true;
    }
    return false;
}

bool entryHoldsKey(Header header, const std::array<uint8_t, 8>& keyId, PublicKeyIdsFunction keyIds)
{
    std::unique_ptr<rpmtd_s, TagDataFree> texts(rpmtdNew());
    if (!texts || !headerGet(header, RPMTAG_PUBKEYS, texts.get(), HEADERGET_MINMEM) ||
        rpmtdType(texts.get()) != RPM_STRING_ARRAY_TYPE)
        return false;
    while (const char* text = rpmtdNextString(texts.get())) {
        if (textHoldsKey(text, keyId, keyIds))
            return true;
    }
    return false;
}

// The database record number of the first "gpg-pubkey" entry holding the
// key, 0 when none does.
unsigned int pubkeyEntryInstance(rpmts ts, const std::array<uint8_t, 8>& keyId, PublicKeyIdsFunction keyIds)
{
    std::unique_ptr<rpmdbMatchIterator_s, IteratorFree> entries(rpmtsInitIterator(ts, RPMTAG_NAME, "gpg-pubkey", 0));
    if (!entries)
        return 0;
    while (Header header = rpmdbNextIterator(entries.get())) {
        if (entryHoldsKey(header, keyId, keyIds))
            return headerGetInstance(header);
    }
    return 0;
}

} // namespace

int rpmsqEnable(int signum, rpmsqAction_t)
{
    auto& counts = registrations();
    if (signum >= 0)
        return ++counts[signum];
    auto it = counts.find(-signum);
    if (it == counts.end())
        return -1;
    int left = --it->second;
    if (left == 0)
        counts.erase(it);
    return left;
}

int rpmPlatformScore(const char* platform, void*, int)
{
    if (!platform)
        return 0;
    const char* dash = strchr(platform, '-');
    std::string arch = dash ? std::string(platform, dash) : std::string(platform);
    if (arch.empty())
        return 0;
    // vendor and os follow the arch; the os must be rpm's own.
    if (dash) {
        const char* osStart = strchr(dash + 1, '-');
        if (osStart) {
            std::string os(osStart + 1);
            size_t gnu = os.find('-');
            if (gnu != std::string::npos)
                os.resize(gnu);
            if (!os.empty() && rpmMachineScore(RPM_MACHTABLE_INSTOS, os.c_str()) == 0)
                return 0;
        }
    }
    return rpmMachineScore(RPM_MACHTABLE_INSTARCH, arch.c_str());
}

bool rpmDbIsBerkeley()
{
    return expandMacro("%{_dbapi}") == "3" || expandMacro("%{_db_backend}") == "bdb";
}

pgpDig rpmtsDig(rpmts)
{
    pgpDig& dig = transactionDig();
    if (!dig)
        dig = pgpNewDig();
    return dig;
}

void rpmtsCleanDig(rpmts)
{
    pgpDig& dig = transactionDig();
    // rpm 4.18's packet printer leaves printing on for every later packet
    // parse (keyring loads, package reads) until a call switches it off.
    if (dig)
        (void)pgpPrtPkts(nullptr, 0, dig, 0);
    dig = pgpFreeDig(dig);
}

rpmdbMatchIterator rpmtsInitPubkeyIterator(rpmts ts, const uint8_t* keyId, size_t keyIdLength,
                                           PublicKeyIdsFunction keyIds)
{
    std::array<uint8_t, 8> wanted;
    if (!ts || !keyId || !keyIds || keyIdLength != wanted.size())
        return nullptr;
    std::copy(keyId, keyId + wanted.size(), wanted.begin());
    unsigned int instance = pubkeyEntryInstance(ts, wanted, keyIds);
    if (instance == 0)
        return nullptr;
    return rpmtsInitIterator(ts, RPMDBI_PACKAGES, &instance, sizeof instance);
}

} // namespace updater
