#include "download/filehelpers.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log/logger.h"

namespace updater {

std::string baseName(std::string_view path)
{
    size_t end = path.find_last_not_of('/');
    if (end == std::string_view::npos)
        return {};
    std::string_view trimmed = path.substr(0, end + 1);
    size_t slash = trimmed.rfind('/');
    return std::string(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

bool isReadable(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    LOG(debug, "file '%s' not readable (%s)", path.c_str(), errnoText().c_str());
    return false;
}

bool createDir(const std::string& path)
{
    if (mkdir(path.c_str(), 0777) == 0) {
        LOG(debug, "successfully created dir '%s'", path.c_str());
        return true;
    }
    if (errno == EEXIST) {
        int saved = errno;
        struct stat info;
        if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            LOG(debug, "successfully created dir '%s'", path.c_str());
            return true;
        }
        errno = saved;
    }
    LOG(error, "cannot create dir '%s' (%s)", path.c_str(), errnoText().c_str());
    return false;
}

} // namespace updater
