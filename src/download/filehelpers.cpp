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

bool writeAll(int fd, std::string_view content)
{
    while (!content.empty()) {
        const ssize_t written = write(fd, content.data(), content.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        content.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

namespace {

bool syncDirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    errno = saved;
    return synced;
}

} // namespace

bool replaceFile(const std::string& path, std::string_view content)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool written = fchmod(fd, 0644) == 0 && writeAll(fd, content) && fsync(fd) == 0;
    int failure = errno;
    if (close(fd) != 0 && written) {
        written = false;
        failure = errno;
    }
    if (written && rename(temporary.c_str(), path.c_str()) == 0)
        return syncDirectoryOf(path);
    if (written)
        failure = errno;
    unlink(temporary.c_str());
    errno = failure;
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
