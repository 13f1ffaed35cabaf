#include "download/networktest.h"

#include <csignal>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <neon/ne_socket.h>

#include "download/downloader.h"
#include "identity/credentials.h"
#include "identity/identity.h"
#include "log/logger.h"

namespace updater::testing {

namespace {

void placeFile(const std::string& path, const std::string& content)
{
    fs::create_directories(fs::path(path).parent_path());
    unlink(path.c_str()); // may be a link into the host's configuration
    writeFile(path, content);
}

DeviceRootSetup setUpRoot()
{
    requireDeviceRoot();
    DeviceRootSetup setup;
    placeFile("/run/test-cpuinfo", std::string("processor\t: 0\nSerial\t\t: ") + SERIAL + "\nRevision\t: " +
                                         REVISION + "\nHardware\t: Talmer\n");
    if (mount("/run/test-cpuinfo", "/proc/cpuinfo", nullptr, MS_BIND, nullptr) != 0)
        throw std::runtime_error("cannot bind the test cpuinfo: " + errnoText());
    placeFile("/sys/bus/i2c/drivers/vrk-eeprom/1-0052/data", "TLM-0042-7 02.03 LMNTA and the rest of the chip");
    setup.caDir = "/run/test-certs/trusted";
    runCommand(std::string("/usr/bin/python3 ") + HTTPSERVER + " make-certs " + setup.caDir);
    placeFile("/etc/ssl/certs/ca-certificates.crt", readFile(setup.caDir + "/ca.pem"));
    placeFile("/etc/hosts", "127.0.0.1 localhost\n::1 localhost\n127.0.0.1 repo.test\n"
                              "127.0.0.3 mixed.test\n198.51.100.7 mixed.test\n");
    // Nothing answers there: names outside the hosts file fail at once.
    placeFile("/etc/resolv.conf", "nameserver 127.0.0.1\n");
    // Addresses of 198.51.100.0/24 reach this host without being on any of
    // its interface networks: a remote server that can still be connected to.
    runCommand("ip route add local 198.51.100.0/24 dev lo");
    readCpuInfo();
    setup.defaultUser = defaultUser(PRODUCT);
    setup.defaultPassword = defaultPassword();
    if (setup.defaultUser.empty() || setup.defaultPassword.empty())
        throw std::runtime_error("no default credentials in the test root");
    return setup;
}

// The JSON string value of `key`, the first one at or after `from`. The
// values the tests read escape only quotes and backslashes.
std::string field(const std::string& line, const std::string& key, size_t from = 0)
{
    const std::string marker = "\"" + key + "\": \"";
    const size_t start = line.find(marker, from);
    std::string out;
    for (size_t pos = start == std::string::npos ? line.size() : start + marker.size(); pos < line.size() && line[pos] != '"'; ++pos)
        out += line[pos] == '\\' ? line[++pos] : line[pos];
    return out;
}

} // namespace

const DeviceRootSetup& deviceRoot()
{
    static const DeviceRootSetup setup = setUpRoot();
    return setup;
}

TestServer::TestServer(const std::string& config, unsigned port, const std::string& bind)
{
    deviceRoot();
    const std::string ready = m_dir.file("ready"), portText = std::to_string(port), configPath = m_dir.file("config.json");
    writeFile(configPath, "{\"log\": \"" + m_dir.file("requests") + "\", " + config.substr(config.find('{') + 1));
    m_pid = fork();
    if (m_pid == 0) {
        execl("/usr/bin/python3", "python3", HTTPSERVER, "--config", configPath.c_str(), "--port", portText.c_str(),
              "--bind", bind.c_str(), "--ready", ready.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 500 && !fs::exists(ready); ++i) {
        int status;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            throw std::runtime_error("test server exited at start-up");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!fs::exists(ready))
        throw std::runtime_error("test server did not come up");
}

TestServer::~TestServer()
{
    if (m_pid > 0 && kill(m_pid, SIGTERM) == 0)
        waitpid(m_pid, nullptr, 0);
}

std::vector<std::string> TestServer::requests() const
{
    return splitLines(readFile(m_dir.file("requests")));
}

std::string requestPath(const std::string& line) { return field(line, "path", line.rfind("\"method\": ")); }

std::string requestHeader(const std::string& line, const std::string& name)
{
    size_t headers = line.find("\"headers\": {");
    size_t end = line.find('}', headers);
    std::string value = field(line, name, headers);
    return line.find("\"" + name + "\": \"", headers) < end ? value : "";
}

NetworkSettings testSettings()
{
    NetworkSettings settings;
    settings.proxyServer = "";
    settings.userAgentBase = USER_AGENT_BASE;
    settings.userAgentProdname = PRODUCT;
    return settings;
}

ChildRun runChild(const std::function<bool()>& action, const std::optional<NetworkSettings>& settings)
{
    deviceRoot();
    return runInChild([&] {
        if (ne_sock_init() != 0)
            return false;
        if (settings)
            URLFetcher::initClass(*settings);
        const bool ok = action();
        ne_sock_exit();
        return ok;
    });
}

bool downloadOnce(const std::string& uri, const std::string& path, const std::string& file, bool bypassCaches)
{
    Downloader downloader;
    return downloader.open(uri) && downloader.download(path, file, bypassCaches);
}

void writeCredentials(const std::string& entries)
{
    deviceRoot();
    if (entries.empty())
        unlink(NET_CREDENTIALS_FILE);
    else
        placeFile(NET_CREDENTIALS_FILE, credentialsDocument(entries));
}

std::vector<std::string> requestUsers(const TestServer& server)
{
    std::vector<std::string> users;
    for (const std::string& line : server.requests())
        users.push_back(field(line, "user", line.rfind("\"path\": ")));
    return users;
}

} // namespace updater::testing

// neon 0.32.5 with GnuTLS keeps two copies of the server's host name per TLS
// connection it opens and never frees them; the leak check of the forked
// children must not count that against the fetcher.
extern "C" const char* __lsan_default_suppressions() { return "leak:ne_strdup\n"; }
