// A metadata file checked against the checksums that repomd.xml gives for
// it while the file is read once: the checksum over the bytes as stored, the
// open-checksum over the decompressed content.
#pragma once

#include "platform/hash.h"
#include "repo/repositorydata.h"
#include "repo/stream.h"

namespace updater {

// The open-checksum is taken in the same pass when the file is not
// compressed (its bytes are its content) or when the checksum cannot decide;
// otherwise only when the file does not match as stored, by decoding it once
// more. A file matches when either checksum does.
class MetadataCheck {
public:
    // Attaches the stored hash: before stream.open().
    MetadataCheck(const MetadataEntry& entry, MetadataStream& stream);
    MetadataCheck(const MetadataCheck&) = delete;
    MetadataCheck& operator=(const MetadataCheck&) = delete;

    // Attaches the content hash where this pass takes it: after stream.open().
    void opened();
    // Once the stream has been read to its end (MetadataStream::finish).
    [[nodiscard]] bool matches();

private:
    const MetadataEntry& m_entry;
    MetadataStream& m_stream;
    HashContext m_stored;
    HashContext m_content;
    bool m_storedStarted = false;
    bool m_contentStarted = false;
};

// Whether the file at the entry's local path matches the entry.
[[nodiscard]] bool metadataFileMatches(const MetadataEntry& entry);

} // namespace updater
