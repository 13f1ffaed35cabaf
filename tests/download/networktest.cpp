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

// The JSON string starting at `pos` (just after its opening quote).
std::string jsonString(const std::string& text, size_t pos)
{
    std::string out;
    for (; pos < text.size() && text[pos] != '"'; ++pos) {
        char c = text[pos];
        if (c == '\\' && pos + 1 < text.size()) {
            c = text[++pos];
            if (c == 'n')
                c = '\n';
            else if (c == 't')
                c = '\t';
            else if (c == 'u' && pos + 4 < text.size()) {
                c = static_cast<char>(std::stoi(text.substr(pos + 1, 4), nullptr, 16));
                pos += 4;
            }
        }
        out += c;
    }
    return out;
}

std::string field(const std::string& line, const std::string& key, size_t from = 0)
{
    std::string marker = "\"" + key + "\": \"";
    size_t pos = line.find(marker, from);
    return pos == std::string::npos ? "" : jsonString(line, pos + marker.size());
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
    std::string body = config.substr(config.find('{') + 1);
    bool empty = body.find_first_not_of(" \n\t") == std::string::npos || body[body.find_first_not_of(" \n\t")] == '}';
    writeFile(m_dir.file("config.json"), "{\"log\": \"" + m_dir.file("requests") + "\"" + (empty ? "" : ", ") + body);
    std::string ready = m_dir.file("ready");
    std::string portText = std::to_string(port);
    std::string configPath = m_dir.file("config.json");
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
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status;
        waitpid(m_pid, &status, 0);
    }
}

std::vector<std::string> TestServer::requests() const
{
    return fs::exists(m_dir.file("requests")) ? splitLines(readFile(m_dir.file("requests"))) : std::vector<std::string>{};
}

std::string requestPath(const std::string& line) { return field(line, "path", line.rfind("\"method\": ")); }

std::string requestHeader(const std::string& line, const std::string& name)
{
    size_t headers = line.find("\"headers\": {");
    size_t end = line.find('}', headers);
    std::string value = field(line, name, headers);
    return line.find("\"" + name + "\": \"", headers) < end ? value : "";
}

std::string requestUser(const std::string& line) { return field(line, "user", line.rfind("\"path\": ")); }

int requestConnection(const std::string& line)
{
    size_t pos = line.find("\"connection\": ");
    return pos == std::string::npos ? -1 : std::stoi(line.substr(pos + 14));
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
    if (entries.empty()) {
        unlink(NET_CREDENTIALS_FILE);
        return;
    }
    placeFile(NET_CREDENTIALS_FILE, "<?xml version=\"1.0\"?>\n"
                                      "<credits xmlns:xlink=\"http://www.w3.org/1999/xlink\">\n" +
                                          entries + "</credits>\n");
}

std::vector<std::string> requestUsers(const TestServer& server)
{
    std::vector<std::string> users;
    for (const std::string& line : server.requests())
        users.push_back(requestUser(line));
    return users;
}

} // namespace updater::testing

// neon 0.32.5 with GnuTLS keeps two copies of the server's host name per TLS
// connection it opens and never frees them; the leak check of the forked
// children must not count that against the fetcher.
extern "C" const char* __lsan_default_suppressions() { return "leak:ne_strdup\n"; }
