// The database-reading set-up lives apart so that users of the resolver's
// rules alone (the table tests) do not link the rpm database.
#include "resolver/resolver.h"

#include "log/logger.h"
#include "rpmdb/dbdata.h"

namespace updater {

bool Resolver::init(const Config& config)
{
    if (m_installed) {
        LOG(error, "attempted to reinitilize a resolver");
        return false;
    }
    RpmDB database;
    if (!database.open(!config.checkDbHeaders)) {
        LOG(error, "failed opening rpm database");
        return false;
    }
    return init(database.getInstalledPackages());
}

} // namespace updater
