#include "repo/metadatacheck.h"

#include "log/logger.h"

namespace updater {

MetadataCheck::MetadataCheck(const MetadataEntry& entry, MetadataStream& stream) : m_entry(entry), m_stream(stream)
{
    if (entry.checksum.value.empty())
        LOG(error, "attempted to check an empty checksum");
    else
        m_storedStarted = entry.checksum.start(m_stored, entry.localPath);
    if (m_storedStarted)
        stream.hashStored(&m_stored);
}

void MetadataCheck::opened()
{
    if (m_storedStarted && m_stream.compression() != Compression::none)
        return;
    if (m_entry.openChecksum.value.empty())
        return;
    m_contentStarted = m_entry.openChecksum.start(m_content, m_entry.localPath);
    if (m_contentStarted)
        m_stream.hashContent(&m_content);
}

bool MetadataCheck::matches()
{
    if (m_storedStarted && !m_stream.hashFailed() && m_entry.checksum.matches(m_stored, m_entry.localPath))
        return true;
    if (!m_contentStarted)
        return m_entry.openChecksum.checkUncompressed(m_entry.localPath);
    return m_stream.contentComplete() && !m_stream.hashFailed() &&
           m_entry.openChecksum.matches(m_content, m_entry.localPath);
}

bool metadataFileMatches(const MetadataEntry& entry)
{
    MetadataStream stream(entry.localPath);
    MetadataCheck check(entry, stream);
    if (!stream.open()) {
        LOG(error, "failed opening '%s' for checksumming (%s)", entry.localPath.c_str(), errnoText().c_str());
        return false;
    }
    check.opened();
    if (!stream.finish())
        LOG(error, "failed while reading from '%s'", entry.localPath.c_str());
    return check.matches();
}

} // namespace updater
