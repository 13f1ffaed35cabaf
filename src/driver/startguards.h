// Start-up guards that can keep a device from updating at all: the no-run
// file and the firmware lock-out key of the os-release file.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace updater {

constexpr const char* NO_RUN_FILE = "/var/run/updater.norun";
constexpr const char* OS_RELEASE_FILE = "/etc/os-release";
constexpr const char* FALLBACK_OS_RELEASE_FILE = "/usr/lib/os-release";

// True (after logging) when anything exists at the no-run file, links
// included, or when its existence cannot be checked for lack of permission.
bool runningDisabled();

// The value of the last "VRK_NO_UPDATE=" line of the os-release file (the
// fallback file only when the first does not exist); none when there is no
// such line or no file.
std::optional<std::string> firmwareLockout();

// The same for an open stream. Lines are read in pieces of up to 255 bytes;
// only a piece that starts a line can hold the key.
std::optional<std::string> findNoUpdateValue(FILE* stream);

// Trailing white space stripped; a leading quote (single or double) drops the
// first and the last character; a backslash makes the next character literal
// and ends the value when it is the last one.
std::string unquoteValue(std::string_view raw);

} // namespace updater
