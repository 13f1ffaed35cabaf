#include "repo/checksum.h"

#include <set>
#include <string_view>

#include "log/logger.h"
#include "platform/hash.h"
#include "repo/stream.h"

namespace updater {

namespace {

struct TypeName {
    std::string_view type; // as the metadata writes it
    const char* function;  // the hash library's name
};

// Type names are compared exactly, case included. "sha" is how older
// createrepo versions name SHA-1.
constexpr TypeName TYPE_NAMES[] = {
    {"sha", "SHA-1"},      {"sha1", "SHA-1"},     {"sha224", "SHA-224"},
    {"sha256", "SHA-256"}, {"sha384", "SHA-384"}, {"sha512", "SHA-512"},
};

// Set at the first refused MD5 checksum, whether or not the warning passed the threshold.
bool md5Reported = false;

// Whether an unknown type has been reported for a file already: each file is
// checked again on every download attempt.
bool firstReportFor(const std::string& path, std::string_view type)
{
    static std::set<std::string, std::less<>> reported;
    return reported.insert(path + '\0' + std::string(type)).second;
}

// The hash library's name of a metadata checksum type, or null (logged).
const char* hashNameOf(const PooledString& type, const std::string& path)
{
    for (const auto& name : TYPE_NAMES) {
        if (type.view() == name.type)
            return name.function;
    }
    if (type.view() == "md5") {
        if (!md5Reported) {
            md5Reported = true;
            LOG(warn, "encountered insecure MD5 checksums: discarding them");
        }
        return nullptr;
    }
    if (firstReportFor(path, type.view()))
        LOG(error, "unsupported checksum type '%s'", type.c_str());
    return nullptr;
}

// The digest against the expected value, as lower-case hex text.
bool sameDigest(const Checksum& checksum, const std::vector<unsigned char>& bytes, const std::string& path)
{
    std::string computed = hexText(bytes.data(), bytes.size());
    bool same = computed == checksum.value.view();
    LOG(debug, "'%s' checksum of '%s' (%s) %s against %s", checksum.type.c_str(), path.c_str(), computed.c_str(),
        same ? "checks" : "FAILS", checksum.value.c_str());
    return same;
}

} // namespace

std::string hexText(const unsigned char* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

bool Checksum::start(HashContext& hash, const std::string& path) const
{
    const char* name = hashNameOf(type, path);
    if (!name)
        return false;
    const HashFunction* function = hashFunctionFind(name);
    if (!function || !hash.init(*function)) {
        LOG(debug, "failed initializing hash function '%s'", name);
        return false;
    }
    return true;
}

bool Checksum::matches(HashContext& hash, const std::string& path) const
{
    std::vector<unsigned char> bytes;
    if (!hash.digest(bytes)) {
        LOG(error, "failed computing hash for '%s'", path.c_str());
        return false;
    }
    return sameDigest(*this, bytes, path);
}

bool Checksum::digest(const std::string& path, bool uncompressed, std::vector<unsigned char>& out) const
{
    HashContext hash;
    if (!start(hash, path))
        return false;
    MetadataStream stream(path);
    if (!uncompressed)
        stream.hashStored(&hash);
    if (!stream.open()) {
        LOG(error, "failed opening '%s' for checksumming (%s)", path.c_str(), errnoText().c_str());
        return false;
    }
    if (uncompressed)
        stream.hashContent(&hash);
    if (!stream.finish() || (uncompressed && !stream.contentComplete())) {
        LOG(error, "failed while reading from '%s'", path.c_str());
        return false;
    }
    if (stream.hashFailed() || !hash.digest(out)) {
        LOG(error, "failed computing hash for '%s'", path.c_str());
        return false;
    }
    return true;
}

bool Checksum::check(const std::string& path, bool uncompressed) const
{
    if (value.empty()) {
        LOG(error, "attempted to check an empty checksum");
        return false;
    }
    std::vector<unsigned char> bytes;
    return digest(path, uncompressed, bytes) && sameDigest(*this, bytes, path);
}

} // namespace updater
