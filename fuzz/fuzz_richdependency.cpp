// Untrusted rich dependency texts, as a repository or the rpm database
// hands them over: no text may crash the parser or recurse without bound.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "evr/richdependency.h"
#include "log/logger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        updater::Logger::instance().setToStderr(false);
        updater::Logger::instance().setThreshold(updater::LogLevel::trace); // formats every message, writes none
        return true;
    }();
    (void)quiet;

    updater::RichExpression expression;
    (void)updater::parseRichDependency(std::string_view(reinterpret_cast<const char*>(data), size), expression);
    return 0;
}
