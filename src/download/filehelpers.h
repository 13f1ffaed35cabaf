// Small file operations shared by the download subsystem and its callers.
#pragma once

#include <string>
#include <string_view>

namespace updater {

// Last component of a path, trailing slashes skipped; "" for "" or "///".
std::string baseName(std::string_view path);

// True when the path can be opened for reading; logs at debug level otherwise.
[[nodiscard]] bool isReadable(const std::string& path);

// Replaces the file at `path` with `content` so that a crash leaves either the
// old file or the new one: a temporary file beside it (mode 0644) is written,
// synced and renamed over it, and the directory is synced. On failure no
// temporary file stays behind and errno tells why; the caller decides how
// loud the failure is.
[[nodiscard]] bool replaceFile(const std::string& path, std::string_view content);

// Creates one directory level (0777 less the umask); an existing directory is fine.
[[nodiscard]] bool createDir(const std::string& path);

} // namespace updater
