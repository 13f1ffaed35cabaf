// The status and update-state readers on arbitrary file contents.
#include "driver/status.h"
#include "fuzzinput.h"

using namespace updater;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzing::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = fuzzing::inputFile(data, size);
    SystemStatus status;
    static_cast<void>(readSystemStatus(path.c_str(), status));
    static_cast<void>(readUpdateState(path.c_str()));
    return 0;
}
