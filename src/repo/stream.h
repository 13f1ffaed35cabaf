// A metadata file read once, as stored and as its content: the compression
// is found from the file's first bytes and undone on the fly, the stored and
// the decoded bytes can each feed a running hash, and the content can be
// bounded. This is the one path by which repository metadata is read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "repo/decoder.h"

namespace updater {

class HashContext;

class MetadataStream {
public:
    explicit MetadataStream(std::string path);
    ~MetadataStream();
    MetadataStream(const MetadataStream&) = delete;
    MetadataStream& operator=(const MetadataStream&) = delete;

    // Opens the file and tells its compression from the first block. False,
    // with errno set and nothing logged, only when it cannot be opened; a
    // failed first read shows at the first read().
    [[nodiscard]] bool open();

    // Running hashes fed with the bytes as stored and as decoded; not owned.
    // The stored one is attached before open(), the content one before the
    // first read.
    void hashStored(HashContext* hash) { m_storedHash = hash; }
    void hashContent(HashContext* hash) { m_contentHash = hash; }

    // The content may not exceed `bytes` (0: no limit): the read that would
    // go past it fails, logged.
    void limitContent(uint64_t bytes) { m_contentLimit = bytes; }
    // While set, the content may grow by at most `bytes` more; cleared by
    // unbound(). Bounds what a parser may take in for one piece of a document.
    void boundFromHere(uint64_t bytes)
    {
        m_boundSize = bytes;
        m_boundEnd = m_contentBytes + bytes;
    }
    void unbound() { m_boundSize = 0; }
    // Fails the stream for a piece of the document that takes more than
    // `bytes` in another way (logged).
    void failOversized(uint64_t bytes);

    // Up to `size` bytes of content: the count, 0 at the end, -1 when the
    // file cannot be read, its data is damaged or cut short, or a limit is
    // passed (each logged here).
    long read(void* buffer, size_t size);

    // Reads what is left. With a content hash attached the rest is decoded
    // into it; without, or once decoding has failed, only the stored bytes
    // are hashed. False when the file itself cannot be read.
    [[nodiscard]] bool finish();

    // True once the whole content has been read without failure.
    bool contentComplete() const { return m_ended && !m_failed; }
    bool failed() const { return m_failed; }
    // The same, for a reader that looks at it later.
    const bool* failedFlag() const { return &m_failed; }
    // A hash update failed: the digests are not to be trusted.
    bool hashFailed() const { return m_hashFailed; }
    Compression compression() const { return m_compression; }
    const std::string& path() const { return m_path; }

private:
    bool fill();
    bool readFile(unsigned char* buffer, size_t size, size_t& got);
    bool withinLimits(size_t produced);
    long fail();

    std::string m_path;
    int m_fd = -1;
    Compression m_compression = Compression::none;
    std::unique_ptr<Decoder> m_decoder;
    std::vector<unsigned char> m_input; // stored bytes read ahead
    size_t m_inputStart = 0;            // first unconsumed byte of m_input
    size_t m_inputEnd = 0;
    bool m_fileEnded = false;
    bool m_readFailed = false;
    bool m_ended = false;
    bool m_failed = false;
    uint64_t m_contentBytes = 0;
    uint64_t m_contentLimit = 0;
    uint64_t m_boundSize = 0;
    uint64_t m_boundEnd = 0;
    HashContext* m_storedHash = nullptr;
    HashContext* m_contentHash = nullptr;
    bool m_hashFailed = false;
};

} // namespace updater
