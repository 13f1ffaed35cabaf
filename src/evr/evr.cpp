#include "evr/evr.h"

#include <cerrno>
#include <cstdlib>
#include <rpm/rpmver.h>

#include "log/logger.h"

namespace updater {

Evr Evr::parse(std::string_view text)
{
    Evr evr;
    std::string_view rest = text;
    size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
        std::string epochText(text.substr(0, colon));
        char* end = nullptr;
        long value = strtol(epochText.c_str(), &end, 10);
        evr.epoch = static_cast<int32_t>(value);
        if (end != epochText.c_str() + epochText.size())
            LOG(error, "failed parsing epoch from EVR string");
        rest = text.substr(colon + 1);
    }
    if (rest.empty()) {
        LOG(error, "EVR string has no version release");
        return evr;
    }
    size_t dash = rest.find('-');
    if (dash == std::string_view::npos) {
        evr.version = PooledString(rest);
        return evr;
    }
    evr.version = PooledString(rest.substr(0, dash));
    if (dash + 1 == rest.size())
        LOG(error, "empty release in EVR string");
    else
        evr.release = PooledString(rest.substr(dash + 1));
    return evr;
}

std::string Evr::toString() const
{
    if (version.empty())
        return {};
    std::string text = std::to_string(epoch);
    text += ':';
    text += version.view();
    if (!release.empty()) {
        text += '-';
        text += release.view();
    }
    return text;
}

int compareVersionText(const PooledString& a, const PooledString& b)
{
    if (a == b)
        return 0;
    return rpmvercmp(a.c_str(), b.c_str());
}

int Evr::compare(const Evr& other) const
{
    if (epoch != other.epoch)
        return epoch < other.epoch ? -1 : 1;
    int result = compareVersionText(version, other.version);
    if (result != 0)
        return result;
    return compareVersionText(release, other.release);
}

} // namespace updater
