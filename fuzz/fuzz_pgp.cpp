// Untrusted signature and key bytes: split into packets, parse the signature,
// and read the key IDs. Nothing may be read outside the input.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "log/logger.h"
#include "pgp/pgp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        updater::Logger::instance().setToStderr(false);
        return true;
    }();
    (void)quiet;

    updater::PGPPacketSeq packets;
    if (packets.append(data, size)) {
        updater::PGPSigData sig;
        (void)sig.parse(packets);
    }
    for (const updater::PGPPacket& packet : packets) {
        updater::PGPSigData sig;
        (void)sig.parse(packet);
    }
    std::vector<updater::KeyId> ids;
    (void)updater::publicKeyIds(data, size, ids);
    return 0;
}
