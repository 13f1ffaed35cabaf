// The device's default HTTP password: a digest of the EEPROM records of the
// device's boards, spelled in a 64-character alphabet.
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "identity/identity.h"
#include "log/logger.h"
#include "platform/hash.h"

namespace updater {

namespace {

// EEPROM data files in the order they are tried.
constexpr std::array<const char*, 5> EEPROM_FILES = {
    "/sys/bus/i2c/drivers/Corvex-EEPROM/0-0050/data", "/sys/bus/i2c/drivers/Corvex-EEPROM/0-0052/data",
    "/sys/bus/i2c/drivers/Corvex-EEPROM/0-0053/data", "/sys/bus/i2c/drivers/vrk-eeprom/1-0052/data",
    "/sys/bus/i2c/drivers/vrk-eeprom/1-001e/data",
};

constexpr size_t RECORD_SIZE = 21;
constexpr size_t REVISION_OFFSET = 11;    // 5-byte board revision
constexpr size_t FIXED_STRING_OFFSET = 16; // 5 bytes every intact carrier record holds
constexpr size_t FIELD_SIZE = 5;

// Corvex carrier boards of revision 2.12 were shipped with core boards whose
// revision field lost its last two digits; they read "03" on intact boards.
constexpr std::string_view CARRIER_REV_2_12 = "02.12";
constexpr std::string_view DEFECTIVE_CORE_REVISION = "01.~~";
constexpr char CORE_REVISION_REPAIR[2] = {'0', '3'};
// Some carrier boards lack the fixed string that every intact one holds.
constexpr std::string_view CARRIER_FIXED_STRING = "LMNTA";

constexpr std::string_view PASSWORD_ALPHABET = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ._";
static_assert(PASSWORD_ALPHABET.size() == 64);
constexpr size_t PASSWORD_LENGTH = 12;

using Record = std::array<char, RECORD_SIZE>;

// Reads the first RECORD_SIZE bytes of `path`, unbuffered.
bool readRecord(const char* path, Record& record)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        LOG(debug, "failed opening secret data file '%s': %s", path, errnoText().c_str());
        return false;
    }
    size_t got = 0;
    while (got < record.size()) {
        ssize_t n = read(fd, record.data() + got, record.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got < record.size()) {
        LOG(debug, "failed reading data from '%s'", path);
        return false;
    }
    return true;
}

bool readRecords(size_t needed, std::vector<Record>& records)
{
    for (const char* path : EEPROM_FILES) {
        Record record;
        if (readRecord(path, record))
            records.push_back(record);
        if (records.size() == needed)
            return true;
    }
    LOG(debug, "failed reading secret data");
    return false;
}

std::string_view field(const Record& record, size_t offset) { return {record.data() + offset, FIELD_SIZE}; }

void repairCorvexRecords(Record& core, Record& carrier)
{
    if (field(carrier, REVISION_OFFSET) == CARRIER_REV_2_12 &&
        field(core, REVISION_OFFSET) == DEFECTIVE_CORE_REVISION) {
        core[14] = CORE_REVISION_REPAIR[0];
        core[15] = CORE_REVISION_REPAIR[1];
        LOG(trace, "bad core EEPROM data, using workaround for HW rev 2.12");
    }
    if (field(carrier, FIXED_STRING_OFFSET) != CARRIER_FIXED_STRING) {
        memcpy(carrier.data() + FIXED_STRING_OFFSET, CARRIER_FIXED_STRING.data(), FIELD_SIZE);
        LOG(trace, "bad carrier EEPROM data, using workaround for missing fixed string");
    }
}

bool md5(const std::vector<Record>& records, std::vector<unsigned char>& digest)
{
    const HashFunction* function = hashFunctionFind("MD5");
    HashContext context;
    if (!function || !context.init(*function)) {
        LOG(debug, "failed initializing hash function");
        return false;
    }
    for (const Record& record : records) {
        if (!context.update(record.data(), record.size())) {
            LOG(debug, "failed computing hash");
            return false;
        }
    }
    if (!context.digest(digest) || digest.size() < PASSWORD_LENGTH) {
        LOG(debug, "failed computing hash");
        return false;
    }
    return true;
}

} // namespace

std::string defaultPassword()
{
    bool corvex = deviceIdentity().hardware == HardwareType::corvex;
    std::vector<Record> records;
    if (!readRecords(corvex ? 2 : 1, records))
        return {};
    if (corvex)
        repairCorvexRecords(records[0], records[1]);
    std::vector<unsigned char> digest;
    if (!md5(records, digest))
        return {};
    std::string password;
    for (size_t i = 0; i < PASSWORD_LENGTH; ++i)
        password += PASSWORD_ALPHABET[digest[i] & 0x3f];
    return password;
}

} // namespace updater
