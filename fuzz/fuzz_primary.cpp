// The primary metadata parser on arbitrary documents: every input is written
// to a file and loaded as a repository's primary file would be, through the
// decoder its first bytes choose (the seeds hold each compression).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <libxml/xmlerror.h>
#include <rpm/rpmlib.h>
#include <string>
#include <unistd.h>

#include "log/logger.h"
#include "repo/repositorydata.h"

using namespace updater;

namespace {

std::string inputPath;

void discardXmlError(void*, const char*, ...) {}

void removeInput()
{
    unlink(inputPath.c_str());
}

RepositoryData& repository()
{
    static Config config;
    static Repository configured{"fuzz", "fuzz", "/srv/fuzz", true, false};
    static RepositoryData data(config, configured);
    return data;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The arch test scores against rpm's configured platform.
    if (rpmReadConfigFiles(nullptr, nullptr) != 0)
        abort();
    xmlSetGenericErrorFunc(nullptr, discardXmlError);
    // Every message is formatted (trace level) but none is shown.
    Logger& logger = Logger::instance();
    logger.setToStderr(false);
    logger.setThreshold(LogLevel::trace);
    if (!logger.addFileOutput("/dev/null", LogLevel::trace, true))
        abort();
    char path[] = "/tmp/fuzz_primary.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        abort();
    close(fd);
    inputPath = path;
    atexit(removeInput);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* file = fopen(inputPath.c_str(), "wb");
    if (!file)
        abort();
    if (size > 0 && fwrite(data, 1, size, file) != size)
        abort();
    fclose(file);
    (void)repository().parsePrimary(inputPath);
    return 0;
}
