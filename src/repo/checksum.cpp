#include "repo/checksum.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <zlib.h>

#include "log/logger.h"
#include "platform/hash.h"

namespace updater {

namespace {

// Files are hashed through one buffer of this size, whatever their size.
constexpr size_t BLOCK_SIZE = 1024;

// Set at the first refused MD5 checksum, whether or not the warning passed the threshold.
bool md5Reported = false;

// The hash library's name of a metadata checksum type, or null (logged).
const char* hashNameOf(const PooledString& type)
{
    if (type.view() == "sha")
        return "SHA-1";
    if (type.view() == "sha256")
        return "SHA-256";
    if (type.view() == "md5") {
        if (!md5Reported) {
            md5Reported = true;
            LOG(warn, "encountered insecure MD5 checksums: discarding them");
        }
        return nullptr;
    }
    LOG(error, "unsupported checksum type '%s'", type.c_str());
    return nullptr;
}

struct GzCloser {
    void operator()(gzFile file) const { gzclose(file); }
};
using GzFile = std::unique_ptr<gzFile_s, GzCloser>;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

enum class Feed { done, readError, hashError };

Feed feedPlain(int fd, HashContext& hash)
{
    unsigned char block[BLOCK_SIZE];
    for (;;) {
        ssize_t got = read(fd, block, sizeof block);
        if (got == 0)
            return Feed::done;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return Feed::readError;
        }
        if (!hash.update(block, static_cast<size_t>(got)))
            return Feed::hashError;
    }
}

// zlib passes data that is not gzip-compressed through unchanged.
Feed feedDecompressed(gzFile file, HashContext& hash)
{
    unsigned char block[BLOCK_SIZE];
    for (;;) {
        int got = gzread(file, block, sizeof block);
        if (got == 0)
            return Feed::done;
        if (got < 0)
            return Feed::readError;
        if (!hash.update(block, static_cast<size_t>(got)))
            return Feed::hashError;
    }
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

bool Checksum::digest(const std::string& path, bool uncompressed, std::vector<unsigned char>& out) const
{
    const char* name = hashNameOf(type);
    if (!name)
        return false;
    const HashFunction* function = hashFunctionFind(name);
    HashContext hash;
    if (!function || !hash.init(*function)) {
        LOG(debug, "failed initializing hash function '%s'", name);
        return false;
    }
    Feed result;
    if (uncompressed) {
        GzFile file(gzopen(path.c_str(), "rb"));
        if (!file) {
            LOG(error, "failed opening '%s' for checksumming (%s)", path.c_str(), errnoText().c_str());
            return false;
        }
        result = feedDecompressed(file.get(), hash);
        // A gzip stream cut short reads like an early end; only the close tells.
        if (gzclose(file.release()) != Z_OK && result == Feed::done)
            result = Feed::readError;
    } else {
        FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) {
            LOG(error, "failed opening '%s' for checksumming (%s)", path.c_str(), errnoText().c_str());
            return false;
        }
        result = feedPlain(fd.get(), hash);
    }
    if (result == Feed::done && !hash.digest(out))
        result = Feed::hashError;
    if (result == Feed::readError)
        LOG(error, "failed while reading from '%s'", path.c_str());
    else if (result == Feed::hashError)
        LOG(error, "failed computing hash for '%s'", path.c_str());
    return result == Feed::done;
}

bool Checksum::check(const std::string& path, bool uncompressed) const
{
    if (value.empty()) {
        LOG(error, "attempted to check an empty checksum");
        return false;
    }
    std::vector<unsigned char> bytes;
    if (!digest(path, uncompressed, bytes))
        return false;
    std::string computed = hexText(bytes.data(), bytes.size());
    bool matches = computed == value.view();
    LOG(debug, "'%s' checksum of '%s' (%s) %s against %s", type.c_str(), path.c_str(), computed.c_str(),
        matches ? "checks" : "FAILS", value.c_str());
    return matches;
}

} // namespace updater
