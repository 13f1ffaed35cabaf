// The device identity from arbitrary cpuinfo texts, and the user agent and
// default user made from it.
#include "fuzzinput.h"
#include "identity/identity.h"

using namespace updater;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzing::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    readCpuInfo(fuzzing::inputFile(data, size));
    static_cast<void>(composeUserAgent("fuzz-updater", "fuzz"));
    static_cast<void>(defaultUser("fuzz"));
    return 0;
}
