#include "sigcheck/trustedkeys.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <unistd.h>

#include "child/childprocess.h"
#include "log/logger.h"
#include "rpmdb/dbdata.h"

namespace updater {

namespace {

// mkstemp creates it exclusively, readable and writable by the owner only.
constexpr char KEYRING_TEMPLATE[] = "/tmp/updater.XXXXXX";

// Writes every byte, going on after partial writes and interrupted calls.
bool writeAll(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Removes a keyring that could not be written completely (closing it when
// still open), keeping errno for the caller's message.
void discardKeyring(const char* path, int fd)
{
    int saved = errno;
    unlink(path);
    if (fd >= 0)
        close(fd);
    errno = saved;
}

// Removes the keyring when the check ends, whichever way it ends.
class KeyringRemover {
public:
    explicit KeyringRemover(const std::string& path) : m_path(path) {}
    ~KeyringRemover() { unlink(m_path.c_str()); }
    KeyringRemover(const KeyringRemover&) = delete;
    KeyringRemover& operator=(const KeyringRemover&) = delete;

private:
    const std::string& m_path;
};

// Whether gpgv's result says the signature is good.
bool judgeVerifier(const ChildProcess& gpgv)
{
    if (gpgv.exited()) {
        LOG(debug, "gpgv exited with code %i", gpgv.exitCode());
        return gpgv.exitCode() == 0;
    }
    if (gpgv.signaled())
        LOG(error, "signature verifier was killed by signal %i", gpgv.exitCode());
    else
        LOG(error, "signature verifier failed for unknown reason");
    return false;
}

} // namespace

bool TrustedKeys::loadFromRpmDb()
{
    RpmDB db;
    if (!db.open(false)) {
        LOG(error, "failed opening rpm DB");
        return false;
    }
    std::vector<std::vector<uint8_t>> keys = db.readPublicKeys();
    m_keys.insert(m_keys.end(), std::make_move_iterator(keys.begin()), std::make_move_iterator(keys.end()));
    return true;
}

bool TrustedKeys::writeKeyring(std::string& path) const
{
    char name[sizeof KEYRING_TEMPLATE];
    std::copy(std::begin(KEYRING_TEMPLATE), std::end(KEYRING_TEMPLATE), name);
    int fd = mkstemp(name);
    if (fd < 0)
        return false;
    for (const std::vector<uint8_t>& key : m_keys) {
        if (!writeAll(fd, key.data(), key.size())) {
            discardKeyring(name, fd);
            return false;
        }
    }
    if (close(fd) != 0) {
        discardKeyring(name, -1);
        return false;
    }
    path = name;
    return true;
}

bool TrustedKeys::verify(const std::string& file, const std::string& signature) const
{
    LOG(debug, "verifying %s against signature %s", file.c_str(), signature.c_str());
    ChildProcess gpgv("gpgv");
    if (m_keys.empty()) {
        LOG(warn, "no trusted keys to verify file");
        return false;
    }
    std::string keyring;
    if (!writeKeyring(keyring)) {
        LOG(error, "failed creating temporary keyring file: %s", errnoText().c_str());
        return false;
    }
    KeyringRemover remover(keyring);
    for (const std::string& argument : {std::string("--quiet"), std::string("--keyring"), keyring,
                                        std::string("--ignore-time-conflict"), signature, file})
        gpgv.addArgument(argument);
    if (!gpgv.start() || !gpgv.wait())
        return false;
    return judgeVerifier(gpgv);
}

} // namespace updater
