// All settings of one run: built-in defaults, the defaults file, the
// configuration file, the proxy file and the command line, in rising order
// of precedence.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "log/logger.h"

namespace updater {

constexpr const char* DEFAULTS_FILE = "/usr/share/resources/default/updater/defaults.conf";
constexpr const char* CONFIG_FILE = "/etc/updater.conf";
constexpr const char* PROXY_FILE = "/etc/network/vrkproxy.conf";
constexpr const char* USB_REPOSITORY_PATH = "/var/lib/updater/mnt-usb-updates";
constexpr const char* LEGACY_USB_REPOSITORY_PATH = "/media/usb1/updates";

struct Repository {
    std::string id;
    std::string name;
    std::string location; // URI (http, https, file) or absolute path; never empty
    bool enabled = true;
    bool isDefault = false; // built in or from the defaults file: may be redefined
};

struct NetworkSettings {
    std::string proxyServer; // empty: no proxy
    unsigned proxyPort = 0;  // 0 to 65534; meaningful only with a proxyServer
    bool bypassLocalNetwork = true;
    std::string proxyUsername;
    std::string proxyPassword;
    std::string userAgentBase;
    std::string userAgentProdname;
};

// Bounds of network transfers, from the `download` element of the
// configuration files.
struct DownloadSettings {
    unsigned connectTimeout = 180;         // seconds to set up a connection
    unsigned readTimeout = 120;            // seconds a server may stay silent
    unsigned lowSpeedLimit = 1024;         // bytes per second; 0 turns the check off
    unsigned lowSpeedTime = 60;            // seconds a transfer may stay below lowSpeedLimit
    unsigned metadataDeadline = 1800;      // seconds for all metadata of one update
    uint64_t maxRepomdSize = 4 << 20;      // bytes of repomd.xml and of its signature
};

struct Config {
    Config(); // built-in defaults, the USB repository included

    bool quiet = false;
    bool cacheOnly = false;
    bool checkOnly = false;
    bool test = false;
    bool noPkgSigCheck = false;
    bool noMdSigCheck = false;
    bool noReboot = false;
    bool checkDbHeaders = false;
    bool noCacheClean = false;
    int32_t lockTimeout = 120;
    std::string cacheDir = "/var/cache/updater/";
    int32_t maxWaitTime = 600;
    bool background = false;
    LogLevel logLevel = LogLevel::info;
    bool logToStderr = false;
    bool logToSyslog = false;
    int syslogFacility = 0;
    std::string productName;
    std::string releasePackage;
    std::vector<std::string> addonPackages;
    std::vector<std::string> addonGroups;
    std::list<Repository> repositories; // list: records keep their address while others move
    NetworkSettings network;
    DownloadSettings download;
    // Repository metadata older than the metadata accepted before is refused
    // (a replay or a stale mirror) unless a rollback is allowed.
    bool allowMetadataRollback = false;
    // Metadata whose newest timestamp is older than this many days draws a
    // warning, or with refuseStaleMetadata a refusal; 0 turns the check off.
    uint32_t maxMetadataAgeDays = 0;
    bool refuseStaleMetadata = false;
};

// Reads one XML configuration file into `config`. With isDefaults false and a
// successful parse, the proxy file is read afterwards.
[[nodiscard]] bool parseConfigFile(Config& config, const std::string& path, bool isDefaults);

// The proxy file's `proxy` element into config.network; never fails.
void readProxyFile(Config& config);

// The same from any path: every problem is logged and only ends the reading,
// keeping what an earlier valid `proxy` element set.
void readProxyFile(NetworkSettings& network, const std::string& path);

// The first repository whose id equals `id` byte for byte, or null.
Repository* findRepository(Config& config, const std::string& id);

} // namespace updater
