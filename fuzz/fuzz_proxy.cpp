// The proxy file reader on its own, on arbitrary bytes.
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
    NetworkSettings network;
    readProxyFile(network, fuzzing::inputFile(data, size));
    return 0;
}
