#include "identity/identity.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include "log/logger.h"

namespace updater {

namespace {

DeviceIdentity identity;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The third blank-separated word of a cpuinfo line ("Serial : 0000..."),
// at most `limit` bytes; false when there is none.
bool thirdWord(const char* line, size_t limit, std::string& out)
{
    char format[32];
    char word[64];
    snprintf(format, sizeof format, "%%*s %%*s %%%zus", limit);
    if (sscanf(line, format, word) != 1)
        return false;
    out = word;
    return true;
}

void readHardwareLine(const char* line, const char* path)
{
    std::string word;
    if (!thirdWord(line, 15, word)) {
        LOG(debug, "malformed Hardware line in '%s'", path);
        return;
    }
    if (word == "Corvex") {
        identity.hardware = HardwareType::corvex;
    } else if (word == "Talmer") {
        identity.hardware = HardwareType::talmer;
    } else if (word == "velmora") {
        identity.hardware = HardwareType::velmora;
    } else {
        identity.hardware = HardwareType::unknown;
        LOG(warn, "unknown hardware '%s'", word.c_str());
    }
}

void readCpuInfoLine(const char* line, const char* path)
{
    if (strncmp(line, "Serial", 6) == 0) {
        if (!thirdWord(line, 63, identity.serial))
            LOG(debug, "malformed Serial line in '%s'", path);
    } else if (strncmp(line, "Revision", 8) == 0) {
        if (!thirdWord(line, 8, identity.revision))
            LOG(debug, "malformed Revision line in '%s'", path);
    } else if (strncmp(line, "Hardware", 8) == 0) {
        readHardwareLine(line, path);
    }
}

} // namespace

void readCpuInfo() { readCpuInfo(CPUINFO_FILE); }

void readCpuInfo(const std::string& path)
{
    identity = DeviceIdentity{};
    File file(fopen(path.c_str(), "re"));
    if (!file) {
        LOG(error, "failed opening '%s' for initialization: '%s'", path.c_str(), errnoText().c_str());
        return;
    }
    // A line longer than the buffer arrives in pieces; each is taken as a line.
    char line[128];
    while (fgets(line, sizeof line, file.get()))
        readCpuInfoLine(line, path.c_str());
    if (ferror(file.get()))
        LOG(debug, "failed reading from '%s'", path.c_str());
    if (identity.serial.empty())
        LOG(error, "no Serial in '%s'", path.c_str());
    if (identity.revision.empty())
        LOG(error, "no Revision in '%s'", path.c_str());
}

const DeviceIdentity& deviceIdentity() { return identity; }

std::string composeUserAgent(const std::string& base, const std::string& prodname)
{
    std::string agent = base + "/" UPDATER_VERSION;
    if (!identity.serial.empty())
        agent += " (" + prodname + "-" + identity.serial + ")";
    return agent;
}

std::string defaultUser(const std::string& prodname)
{
    if (identity.revision.empty()) {
        LOG(debug, "no HW Revision");
        return {};
    }
    std::string user = prodname + "-" + identity.revision;
    LOG(debug, "default http user initialized to '%s'", user.c_str());
    return user;
}

bool initDefaultCredentials(NetCredentials& store, const std::string& prodname)
{
    store.clear();
    std::string password = defaultPassword();
    if (password.empty()) {
        LOG(error, "cannot recover default password for authentication");
        return false;
    }
    std::string user = defaultUser(prodname);
    if (user.empty()) {
        LOG(error, "cannot recover default user name for authentication");
        return false;
    }
    LOG(trace, "default user '%s'", user.c_str());
    store.add({"/", "", user, password});
    return true;
}

} // namespace updater
