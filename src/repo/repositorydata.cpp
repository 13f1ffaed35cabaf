#include "repo/repositorydata.h"

#include "log/logger.h"

namespace updater {

RepositoryData::RepositoryData(const Config& config, const Repository& repository)
    : m_repository(repository),
      m_skipMetadataSignature(config.noMdSigCheck),
      m_cacheDir(config.cacheDir + repository.id + "/"),
      m_packageCacheDir(m_cacheDir + "packages/")
{
    setUri(repository.location);
}

RepositoryData::~RepositoryData()
{
    LOG(debug, "destroyed repository '%s' with cache dir '%s'", m_repository.id.c_str(), m_cacheDir.c_str());
}

void RepositoryData::setUri(const std::string& location)
{
    m_uri = !location.empty() && location[0] == '/' ? "file://" + location : location;
}

} // namespace updater
