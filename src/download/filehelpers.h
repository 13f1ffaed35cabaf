// Small file operations shared by the download subsystem and its callers.
#pragma once

#include <dirent.h>
#include <memory>
#include <string>
#include <string_view>

namespace updater {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Directory = std::unique_ptr<DIR, DirCloser>;

// Last component of a path, trailing slashes skipped; "" for "" or "///".
std::string baseName(std::string_view path);

// True when the path can be opened for reading; logs at debug level otherwise.
[[nodiscard]] bool isReadable(const std::string& path);

// Creates one directory level (0777 less the umask); an existing directory is fine.
[[nodiscard]] bool createDir(const std::string& path);

} // namespace updater
