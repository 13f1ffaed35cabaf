// The device's identity as the update server sees it: serial number,
// hardware revision and family from the kernel's cpuinfo, the user agent
// built from them, and the default HTTP credentials derived from the
// device's EEPROM data.
#pragma once

#include <string>

#include "identity/credentials.h"

namespace updater {

constexpr const char* CPUINFO_FILE = "/proc/cpuinfo";

enum class HardwareType { unknown = 0, corvex = 1, talmer = 2, velmora = 3 };

struct DeviceIdentity {
    std::string serial;   // at most 63 bytes; empty when unknown
    std::string revision; // at most 8 bytes; empty when unknown
    HardwareType hardware = HardwareType::unknown;
};

// Fills the process-wide identity from CPUINFO_FILE.
void readCpuInfo();
// Fills it from `path` instead; what was read before is forgotten.
void readCpuInfo(const std::string& path);
const DeviceIdentity& deviceIdentity();

// "<base>/1.8.3", followed by " (<prodname>-<serial>)" when the serial is known.
std::string composeUserAgent(const std::string& base, const std::string& prodname);

// "<prodname>-<revision>"; empty when the revision is unknown.
std::string defaultUser(const std::string& prodname);

// The 12-character default password, derived from the EEPROM records the
// hardware family needs; empty when they cannot be read or hashed. Never
// stored on disk and never logged.
std::string defaultPassword();

// Empties `store` and, when user and password can be derived, adds the one
// default entry (path "/", any realm).
[[nodiscard]] bool initDefaultCredentials(NetCredentials& store, const std::string& prodname);

} // namespace updater
