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

// Writes all of `content`, going on after partial and interrupted writes;
// false with errno set when a write fails.
[[nodiscard]] bool writeAll(int fd, std::string_view content);

// Replaces the file at `path` with `content` so that a crash leaves either the
// old file or the new one: a temporary file beside it (mode 0644) is written,
// synced and renamed over it, and the directory is synced. On failure no
// temporary file stays behind and errno tells why; the caller decides how
// loud the failure is.
[[nodiscard]] bool replaceFile(const std::string& path, std::string_view content);

// Creates one directory level (0777 less the umask); an existing directory is fine.
[[nodiscard]] bool createDir(const std::string& path);

} // namespace updater
