// What the fuzz targets share: the Logger formats every message and shows
// none, libxml2 reports nothing and loads no external entity, and each input
// reaches the readers (which take paths) through one in-memory file.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <libxml/parser.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "log/logger.h"

namespace updater::fuzzing {

inline void discardXmlError(void*, const char*, ...) {}

inline xmlParserInputPtr refuseExternal(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

inline void setUp()
{
    Logger& logger = Logger::instance();
    logger.setToStderr(false);
    logger.setThreshold(LogLevel::trace);
    xmlSetExternalEntityLoader(refuseExternal);
    xmlSetGenericErrorFunc(nullptr, discardXmlError);
}

// The path of a file that holds exactly this input.
inline const std::string& inputFile(const uint8_t* data, size_t size)
{
    static const int fd = memfd_create("fuzz_input", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        abort();
    return path;
}

} // namespace updater::fuzzing
