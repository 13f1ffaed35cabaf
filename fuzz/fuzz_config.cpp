// The configuration file reader on arbitrary bytes. Read as the defaults
// file, so that the fixed proxy path is never read.
#include "config/config.h"
#include "fuzzinput.h"

using namespace updater;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzing::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Config config;
    static_cast<void>(parseConfigFile(config, fuzzing::inputFile(data, size), true));
    return 0;
}
