// The configuration file and the proxy file readers on arbitrary bytes. The
// input goes to an in-memory file, since both readers take a path. External
// entities and DTDs are refused so that no input reads the host's files.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "config/config.h"
#include "config/xmlnode.h"

using namespace updater;

namespace {

int inputFd = -1;
std::string inputPath;

xmlParserInputPtr refuseExternal(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

void silent(void*, const char*, ...) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Logger::instance().setToStderr(false);
    Logger::instance().setThreshold(LogLevel::trace); // formats every message, writes none
    xmlSetExternalEntityLoader(refuseExternal);
    xmlSetGenericErrorFunc(nullptr, silent);
    inputFd = memfd_create("fuzz_config", 0);
    if (inputFd < 0)
        abort();
    inputPath = "/proc/self/fd/" + std::to_string(inputFd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (ftruncate(inputFd, 0) != 0 || pwrite(inputFd, data, size, 0) != static_cast<ssize_t>(size))
        abort();

    // As the defaults file, so that the fixed proxy path is never read.
    Config config;
    static_cast<void>(parseConfigFile(config, inputPath, true));
    NetworkSettings network;
    readProxyFile(network, inputPath);
    return 0;
}
