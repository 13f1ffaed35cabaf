// The repository index reader on arbitrary repomd.xml documents, as a
// repository's index is read from its cache directory (signature check off).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <rpm/rpmlib.h>

#include "fuzzinput.h"
#include "repo/repositorydata.h"

using namespace updater;

namespace {

std::string cacheDir;

void removeCache()
{
    std::filesystem::remove_all(cacheDir);
}

const Config& config()
{
    static const Config made = [] {
        Config config;
        config.cacheDir = cacheDir + "/";
        config.noMdSigCheck = true;
        return config;
    }();
    return made;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (rpmReadConfigFiles(nullptr, nullptr) != 0)
        abort();
    fuzzing::setUp();
    char path[] = "/tmp/fuzz_repomd.XXXXXX";
    if (!mkdtemp(path))
        abort();
    cacheDir = path;
    std::filesystem::create_directories(cacheDir + "/fuzz");
    atexit(removeCache);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Repository configured{"fuzz", "fuzz", "/srv/fuzz", true, false};
    RepositoryData repository(config(), configured);
    FILE* file = fopen((repository.cacheDir() + "repomd.xml").c_str(), "wb");
    if (!file || (size > 0 && fwrite(data, 1, size, file) != size))
        abort();
    fclose(file);
    static_cast<void>(repository.parseRepomd());
    return 0;
}
