// The firmware lock-out key of the os-release file on arbitrary bytes.
#include <cstdio>

#include "driver/startguards.h"
#include "fuzzinput.h"

using namespace updater;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzing::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* stream = fopen(fuzzing::inputFile(data, size).c_str(), "re");
    if (!stream)
        abort();
    static_cast<void>(findNoUpdateValue(stream));
    fclose(stream);
    return 0;
}
