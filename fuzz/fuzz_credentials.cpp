// The network credentials file on arbitrary bytes, loaded for one server and
// searched as an authentication challenge would search it.
#include "download/neonhandles.h"
#include "fuzzinput.h"
#include "identity/credentials.h"

using namespace updater;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzing::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static ParsedUri server;
    static const bool parsed = server.parse("http://repo.example:8080/updates/");
    if (!parsed)
        abort();
    NetCredentials store(server.get());
    static_cast<void>(store.load(fuzzing::inputFile(data, size)));
    store.rewind();
    while (store.find("updates", "/updates/repodata/repomd.xml")) {
    }
    return 0;
}
