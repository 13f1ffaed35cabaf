// Decompression of metadata files: the format is told by the data's first
// bytes, and each format's library decodes chunk by chunk through buffers the
// caller owns, so that no decompressed copy of a file is ever kept.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

namespace updater {

enum class Compression { none, gzip, zstd, xz, bzip2 };

// Bytes that compressionOf() looks at, at most.
constexpr size_t MAGIC_LENGTH = 6;

// The format whose magic bytes begin `head`; none when no magic matches
// (also for a head shorter than a magic).
Compression compressionOf(std::span<const unsigned char> head);

// "gzip", "zstd", "xz", "bzip2" or "plain".
const char* compressionName(Compression compression);

// One compressed file being decoded. Concatenated streams (several gzip
// members, zstd frames, xz or bzip2 streams) read as one, as their command
// line tools read them. Not copyable; releases the library's state on
// destruction.
class Decoder {
public:
    enum class Step {
        more,  // wants more input, or more room for output
        ended, // the data ended where a stream ends
        failed // damaged or cut short: reason() tells
    };

    virtual ~Decoder() = default;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Decodes from `in` into `out`, dropping what it consumed from the front
    // of `in` and what it filled from the front of `out`. `last` says that
    // no input follows what `in` holds.
    virtual Step decode(std::span<const unsigned char>& in, std::span<unsigned char>& out, bool last) = 0;

    // Why decoding failed, in the library's words.
    const std::string& reason() const { return m_reason; }

protected:
    Decoder() = default;
    Step fail(std::string reason);

private:
    std::string m_reason;
};

// A decoder for the format (none copies). Null, with reason in `error`, when
// the library cannot set up its state.
std::unique_ptr<Decoder> makeDecoder(Compression compression, std::string& error);

} // namespace updater
