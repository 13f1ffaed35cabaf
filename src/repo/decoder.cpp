#include "repo/decoder.h"

#include <algorithm>
#include <bzlib.h>
#include <climits>
#include <cstring>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

namespace updater {

namespace {

// The most a decoder may allocate for its window or dictionary. xz -9 needs
// 65 MiB and zstd's own default limit is 2^27 bytes; a file that asks for
// more is refused rather than let it take the device's memory.
constexpr uint64_t XZ_MEMORY_LIMIT = 128ull << 20;
constexpr int ZSTD_WINDOW_LOG_MAX = 27;

constexpr const char* CUT_SHORT = "unexpected end of data";
constexpr const char* NO_PROGRESS = "decoder made no progress";

// Library counters are narrower than a span's size.
unsigned int clampUint(size_t size)
{
    return static_cast<unsigned int>(std::min<size_t>(size, UINT_MAX));
}

// Drops what a library call consumed and produced from the spans.
void advance(std::span<const unsigned char>& in, size_t consumed, std::span<unsigned char>& out, size_t produced)
{
    in = in.subspan(consumed);
    out = out.subspan(produced);
}

class CopyDecoder final : public Decoder {
public:
    Step decode(std::span<const unsigned char>& in, std::span<unsigned char>& out, bool last) override
    {
        size_t count = std::min(in.size(), out.size());
        if (count > 0)
            memcpy(out.data(), in.data(), count);
        advance(in, count, out, count);
        return in.empty() && last ? Step::ended : Step::more;
    }
};

// gzip members, one after another (zlib's inflate with the gzip wrapper).
class GzipDecoder final : public Decoder {
public:
    GzipDecoder() { m_ready = inflateInit2(&m_stream, 16 + MAX_WBITS) == Z_OK; }
    ~GzipDecoder() override
    {
        if (m_ready)
            inflateEnd(&m_stream);
    }
    bool ready() const { return m_ready; }

    Step decode(std::span<const unsigned char>& in, std::span<unsigned char>& out, bool last) override
    {
        for (;;) {
            if (m_memberEnded) {
                if (in.empty())
                    return last ? Step::ended : Step::more;
                inflateReset(&m_stream);
                m_memberEnded = false;
            }
            if (out.empty() || (in.empty() && !last))
                return Step::more;
            m_stream.next_in = const_cast<Bytef*>(in.data());
            m_stream.avail_in = clampUint(in.size());
            m_stream.next_out = out.data();
            m_stream.avail_out = clampUint(out.size());
            unsigned int inBefore = m_stream.avail_in;
            unsigned int outBefore = m_stream.avail_out;
            int rc = inflate(&m_stream, Z_NO_FLUSH);
            size_t consumed = inBefore - m_stream.avail_in;
            size_t produced = outBefore - m_stream.avail_out;
            advance(in, consumed, out, produced);
            if (rc == Z_STREAM_END) {
                m_memberEnded = true;
            } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
                return fail(m_stream.msg ? m_stream.msg : zError(rc));
            } else if (consumed == 0 && produced == 0) {
                return fail(in.empty() ? CUT_SHORT : NO_PROGRESS);
            }
        }
    }

private:
    z_stream m_stream{};
    bool m_ready = false;
    bool m_memberEnded = false;
};

// zstd frames (skippable ones included), one after another.
class ZstdDecoder final : public Decoder {
public:
    ZstdDecoder() : m_context(ZSTD_createDCtx())
    {
        if (m_context)
            ZSTD_DCtx_setParameter(m_context, ZSTD_d_windowLogMax, ZSTD_WINDOW_LOG_MAX);
    }
    ~ZstdDecoder() override { ZSTD_freeDCtx(m_context); }
    bool ready() const { return m_context != nullptr; }

    Step decode(std::span<const unsigned char>& in, std::span<unsigned char>& out, bool last) override
    {
        for (;;) {
            if (in.empty() && last && !m_inFrame)
                return Step::ended;
            if (out.empty() || (in.empty() && !last))
                return Step::more;
            ZSTD_inBuffer input{in.data(), in.size(), 0};
            ZSTD_outBuffer output{out.data(), out.size(), 0};
            size_t rc = ZSTD_decompressStream(m_context, &output, &input);
            advance(in, input.pos, out, output.pos);
            if (ZSTD_isError(rc))
                return fail(ZSTD_getErrorName(rc));
            // 0: a frame is complete and flushed.
            m_inFrame = rc != 0;
            if (input.pos == 0 && output.pos == 0)
                return fail(in.empty() ? CUT_SHORT : NO_PROGRESS);
        }
    }

private:
    ZSTD_DCtx* m_context;
    bool m_inFrame = false;
};

const char* lzmaText(lzma_ret rc)
{
    switch (rc) {
    case LZMA_MEM_ERROR:
        return "cannot allocate memory";
    case LZMA_MEMLIMIT_ERROR:
        return "memory usage limit reached";
    case LZMA_FORMAT_ERROR:
        return "file format not recognized";
    case LZMA_OPTIONS_ERROR:
        return "unsupported compression options";
    case LZMA_DATA_ERROR:
        return "compressed data is corrupt";
    case LZMA_BUF_ERROR:
        return CUT_SHORT;
    default:
        return "internal error";
    }
}

// xz streams, one after another, with stream padding (liblzma).
class XzDecoder final : public Decoder {
public:
    XzDecoder() { m_ready = lzma_stream_decoder(&m_stream, XZ_MEMORY_LIMIT, LZMA_CONCATENATED) == LZMA_OK; }
    ~XzDecoder() override { lzma_end(&m_stream); }
    bool ready() const { return m_ready; }

    Step decode(std::span<const unsigned char>& in, std::span<unsigned char>& out, bool last) override
    {
        for (;;) {
            if (out.empty() || (in.empty() && !last))
                return Step::more;
            m_stream.next_in = in.data();
            m_stream.avail_in = in.size();
            m_stream.next_out = out.data();
            m_stream.avail_out = out.size();
            lzma_ret rc = lzma_code(&m_stream, last ? LZMA_FINISH : LZMA_RUN);
            advance(in, in.size() - m_stream.avail_in, out, out.size() - m_stream.avail_out);
            if (rc == LZMA_STREAM_END)
                return Step::ended;
            if (rc != LZMA_OK)
                return fail(lzmaText(rc));
        }
    }

private:
    lzma_stream m_stream = LZMA_STREAM_INIT;
    bool m_ready = false;
};

const char* bzip2Text(int rc)
{
    switch (rc) {
    case BZ_DATA_ERROR:
        return "data integrity error";
    case BZ_DATA_ERROR_MAGIC:
        return "bad magic number";
    case BZ_MEM_ERROR:
        return "cannot allocate memory";
    default:
        return "internal error";
    }
}

// bzip2 streams, one after another (libbz2).
class Bzip2Decoder final : public Decoder {
public:
    Bzip2Decoder() { m_ready = BZ2_bzDecompressInit(&m_stream, 0, 0) == BZ_OK; }
    ~Bzip2Decoder() override { end(); }
    bool ready() const { return m_ready; }

    Step decode(std::span<const unsigned char>& in, std::span<unsigned char>& out, bool last) override
    {
        for (;;) {
            if (m_streamEnded) {
                if (in.empty())
                    return last ? Step::ended : Step::more;
                end();
                m_stream = bz_stream{};
                m_ready = BZ2_bzDecompressInit(&m_stream, 0, 0) == BZ_OK;
                if (!m_ready)
                    return fail(bzip2Text(BZ_MEM_ERROR));
                m_streamEnded = false;
            }
            if (out.empty() || (in.empty() && !last))
                return Step::more;
            m_stream.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
            m_stream.avail_in = clampUint(in.size());
            m_stream.next_out = reinterpret_cast<char*>(out.data());
            m_stream.avail_out = clampUint(out.size());
            unsigned int inBefore = m_stream.avail_in;
            unsigned int outBefore = m_stream.avail_out;
            int rc = BZ2_bzDecompress(&m_stream);
            size_t consumed = inBefore - m_stream.avail_in;
            size_t produced = outBefore - m_stream.avail_out;
            advance(in, consumed, out, produced);
            if (rc == BZ_STREAM_END)
                m_streamEnded = true;
            else if (rc != BZ_OK)
                return fail(bzip2Text(rc));
            else if (consumed == 0 && produced == 0)
                return fail(in.empty() ? CUT_SHORT : NO_PROGRESS);
        }
    }

private:
    void end()
    {
        if (m_ready)
            BZ2_bzDecompressEnd(&m_stream);
        m_ready = false;
    }

    bz_stream m_stream{};
    bool m_ready = false;
    bool m_streamEnded = false;
};

template <typename T>
std::unique_ptr<Decoder> readyOrNull(std::unique_ptr<T> decoder, std::string& error)
{
    if (decoder->ready())
        return decoder;
    error = "cannot set up the decoder";
    return nullptr;
}

bool startsWith(std::span<const unsigned char> head, std::initializer_list<unsigned char> magic)
{
    return head.size() >= magic.size() && std::equal(magic.begin(), magic.end(), head.begin());
}

} // namespace

Decoder::Step Decoder::fail(std::string reason)
{
    m_reason = std::move(reason);
    return Step::failed;
}

Compression compressionOf(std::span<const unsigned char> head)
{
    if (startsWith(head, {0x1f, 0x8b}))
        return Compression::gzip;
    if (startsWith(head, {0x28, 0xb5, 0x2f, 0xfd}))
        return Compression::zstd;
    // A zstd skippable frame: 0x184D2A50 to 0x184D2A5F, little-endian.
    if (head.size() >= 4 && (head[0] & 0xf0) == 0x50 && head[1] == 0x2a && head[2] == 0x4d && head[3] == 0x18)
        return Compression::zstd;
    if (startsWith(head, {0xfd, '7', 'z', 'X', 'Z', 0x00}))
        return Compression::xz;
    if (startsWith(head, {'B', 'Z', 'h'}) && head.size() >= 4 && head[3] >= '1' && head[3] <= '9')
        return Compression::bzip2;
    return Compression::none;
}

const char* compressionName(Compression compression)
{
    switch (compression) {
    case Compression::gzip:
        return "gzip";
    case Compression::zstd:
        return "zstd";
    case Compression::xz:
        return "xz";
    case Compression::bzip2:
        return "bzip2";
    case Compression::none:
        break;
    }
    return "plain";
}

std::unique_ptr<Decoder> makeDecoder(Compression compression, std::string& error)
{
    switch (compression) {
    case Compression::gzip:
        return readyOrNull(std::make_unique<GzipDecoder>(), error);
    case Compression::zstd:
        return readyOrNull(std::make_unique<ZstdDecoder>(), error);
    case Compression::xz:
        return readyOrNull(std::make_unique<XzDecoder>(), error);
    case Compression::bzip2:
        return readyOrNull(std::make_unique<Bzip2Decoder>(), error);
    case Compression::none:
        break;
    }
    return std::make_unique<CopyDecoder>();
}

} // namespace updater
