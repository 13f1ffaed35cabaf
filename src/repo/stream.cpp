#include "repo/stream.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "log/logger.h"
#include "platform/hash.h"

namespace updater {

namespace {

// The file is read in blocks of this size, whatever its size.
constexpr size_t INPUT_BLOCK = 64 * 1024;

} // namespace

MetadataStream::MetadataStream(std::string path) : m_path(std::move(path)) {}

MetadataStream::~MetadataStream()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool MetadataStream::open()
{
    m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    m_input.resize(INPUT_BLOCK);
    // The first block tells the compression; a read error shows at the first read.
    size_t got = 0;
    while (!m_fileEnded && m_inputEnd < MAGIC_LENGTH) {
        if (!readFile(m_input.data() + m_inputEnd, m_input.size() - m_inputEnd, got)) {
            m_failed = true;
            return true;
        }
        m_inputEnd += got;
    }
    m_compression = compressionOf({m_input.data(), m_inputEnd});
    std::string error;
    m_decoder = makeDecoder(m_compression, error);
    if (!m_decoder) {
        LOG(error, "cannot decode %s data in '%s' (%s)", compressionName(m_compression), m_path.c_str(), error.c_str());
        m_failed = true;
    }
    return true;
}

bool MetadataStream::readFile(unsigned char* buffer, size_t size, size_t& got)
{
    ssize_t count;
    do {
        count = ::read(m_fd, buffer, size);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        LOG(error, "failed reading '%s' (%s)", m_path.c_str(), errnoText().c_str());
        m_readFailed = true;
        return false;
    }
    got = static_cast<size_t>(count);
    m_fileEnded = got == 0;
    if (m_storedHash && got > 0 && !m_storedHash->update(buffer, got))
        m_hashFailed = true;
    return true;
}

// The next block of the file, once the read-ahead has been consumed.
bool MetadataStream::fill()
{
    m_inputStart = 0;
    m_inputEnd = 0;
    return readFile(m_input.data(), m_input.size(), m_inputEnd);
}

long MetadataStream::fail()
{
    m_failed = true;
    return -1;
}

bool MetadataStream::withinLimits(size_t produced)
{
    m_contentBytes += produced;
    if (m_contentLimit != 0 && m_contentBytes > m_contentLimit) {
        LOG(error, "'%s' decompresses to more than the %llu bytes that repomd.xml declares", m_path.c_str(),
            static_cast<unsigned long long>(m_contentLimit));
        return false;
    }
    if (m_boundSize != 0 && m_contentBytes > m_boundEnd) {
        failOversized(m_boundSize);
        return false;
    }
    return true;
}

void MetadataStream::failOversized(uint64_t bytes)
{
    LOG(error, "'%s' holds an element of more than %llu bytes", m_path.c_str(), static_cast<unsigned long long>(bytes));
    m_failed = true;
}

long MetadataStream::read(void* buffer, size_t size)
{
    if (m_failed || !m_decoder)
        return -1;
    if (m_ended || size == 0)
        return 0;
    std::span<unsigned char> out(static_cast<unsigned char*>(buffer), size);
    while (out.size() == size) {
        if (m_inputStart == m_inputEnd && !m_fileEnded && !fill())
            return fail();
        std::span<const unsigned char> in(m_input.data() + m_inputStart, m_inputEnd - m_inputStart);
        size_t before = in.size();
        Decoder::Step step = m_decoder->decode(in, out, m_fileEnded);
        m_inputStart += before - in.size();
        if (step == Decoder::Step::failed) {
            LOG(error, "damaged %s data in '%s' (%s)", compressionName(m_compression), m_path.c_str(),
                m_decoder->reason().c_str());
            return fail();
        }
        if (step == Decoder::Step::ended) {
            m_ended = true;
            break;
        }
    }
    size_t produced = size - out.size();
    if (!withinLimits(produced))
        return fail();
    if (m_contentHash && produced > 0 && !m_contentHash->update(buffer, produced))
        m_hashFailed = true;
    return static_cast<long>(produced);
}

bool MetadataStream::finish()
{
    if (m_contentHash && !m_failed) {
        std::vector<unsigned char> scratch(INPUT_BLOCK);
        long got;
        while ((got = read(scratch.data(), scratch.size())) > 0) {
        }
        if (got == 0)
            return true;
    }
    if (m_readFailed)
        return false;
    // The read-ahead was hashed as stored when it was read.
    while (!m_fileEnded) {
        if (!fill())
            return false;
    }
    return true;
}

} // namespace updater
