#include "driver/startguards.h"

#include <cctype>
#include <cerrno>
#include <memory>
#include <sys/stat.h>

#include "driver/stdiofile.h"
#include "log/logger.h"

namespace updater {

namespace {

constexpr std::string_view NO_UPDATE_KEY = "VRK_NO_UPDATE=";


} // namespace

bool runningDisabled()
{
    struct stat info;
    if (lstat(NO_RUN_FILE, &info) != 0) {
        if (errno != EACCES)
            return false;
        LOG(error, "failed checking existence of '%s' (%s)", NO_RUN_FILE, errnoText().c_str());
    }
    LOG(error, "running is disabled by \"no run\" file '%s'", NO_RUN_FILE);
    return true;
}

std::optional<std::string> firmwareLockout()
{
    StdioFile stream(fopen(OS_RELEASE_FILE, "re"));
    if (!stream && errno == ENOENT)
        stream.reset(fopen(FALLBACK_OS_RELEASE_FILE, "re"));
    if (!stream)
        return std::nullopt;
    return findNoUpdateValue(stream.get());
}

std::optional<std::string> findNoUpdateValue(FILE* stream)
{
    char piece[256];
    bool atLineStart = true;
    std::optional<std::string> value;
    while (fgets(piece, sizeof piece, stream)) {
        const std::string_view text(piece);
        if (atLineStart && text.starts_with(NO_UPDATE_KEY))
            value = unquoteValue(text.substr(NO_UPDATE_KEY.size()));
        atLineStart = !text.empty() && text.back() == '\n';
    }
    return value;
}

std::string unquoteValue(std::string_view raw)
{
    while (!raw.empty() && isspace(static_cast<unsigned char>(raw.back())))
        raw.remove_suffix(1);
    if (!raw.empty() && (raw.front() == '"' || raw.front() == '\'')) {
        raw.remove_prefix(1);
        if (!raw.empty())
            raw.remove_suffix(1);
    }
    std::string value;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && ++i == raw.size())
            break;
        value += raw[i];
    }
    return value;
}

} // namespace updater
