// Device identity from cpuinfo and the default credentials from the EEPROM
// files. Runs inside a device root: the EEPROM files are written at their
// fixed paths below /sys, which is not mounted there.

#include "identity/identity.h"

#include <algorithm>

#include "testing/testing.h"

namespace updater::testing {
namespace {

const char* const EEPROM[] = {
    "/sys/bus/i2c/drivers/Corvex-EEPROM/0-0050/data", "/sys/bus/i2c/drivers/Corvex-EEPROM/0-0052/data",
    "/sys/bus/i2c/drivers/Corvex-EEPROM/0-0053/data", "/sys/bus/i2c/drivers/vrk-eeprom/1-0052/data",
    "/sys/bus/i2c/drivers/vrk-eeprom/1-001e/data",
};

// 21-byte records: 11 bytes of board data, the 5-byte revision, 5 bytes
// that carrier boards fill with a fixed string.
const std::string TALMER = "TLM-0042-7 02.03 LMNT";
const std::string CORE = "CORE-7731-A01.03xxxxx";
const std::string CARRIER = "CARR-5521-B02.12LMNTA";

class IdentityTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { requireDeviceRoot(); }
    void SetUp() override { std::ranges::for_each(EEPROM, [](const char* path) { fs::remove(path); }); }
    void TearDown() override { SetUp(); }

    static void eeprom(int index, const std::string& data)
    {
        fs::create_directories(fs::path(EEPROM[index]).parent_path());
        writeFile(EEPROM[index], data);
    }
    void cpuinfo(const std::string& text) { readCpuInfo(m_dir.write("cpuinfo", "processor\t: 0\nBogoMIPS\t: 100.00\n" + text)); }
    std::string path() const { return m_dir.file("cpuinfo"); }

    TemporaryDirectory m_dir;
    LogCapture capture;
};

TEST_F(IdentityTest, LeavesOutWhatCpuinfoLacks)
{
    cpuinfo("Hardware\t: velmora\n");
    EXPECT_TRUE(capture.has("ERROR: no Serial in '" + path() + "'"));
    EXPECT_TRUE(capture.has("ERROR: no Revision in '" + path() + "'"));
    EXPECT_EQ(composeUserAgent("Lumenta-Updater", "vrk"), "Lumenta-Updater/1.8.3");
    EXPECT_EQ(defaultUser("vrk"), "");

    readCpuInfo(m_dir.file("absent"));
    EXPECT_TRUE(capture.has("ERROR: failed opening '" + m_dir.file("absent") +
                            "' for initialization: 'No such file or directory'"));
}

TEST_F(IdentityTest, TakesTheThirdWordWithinItsLimits)
{
    cpuinfo("Serial\t\t:\nRevision\t: 123456789abc\nHardware\t: Zeta-9\nSerial : " + std::string(70, '7') + "\n");
    EXPECT_TRUE(capture.has("WARNING: unknown hardware 'Zeta-9'"));
    EXPECT_EQ(deviceIdentity().serial, std::string(63, '7'));
    EXPECT_EQ(deviceIdentity().revision, "12345678");
    EXPECT_EQ(deviceIdentity().hardware, HardwareType::unknown);
}

// Servers know these passwords: the derivation must never change.
TEST_F(IdentityTest, DerivesTheKnownPasswordFromOneRecord)
{
    cpuinfo("Hardware\t: Talmer\nRevision\t: a02082\n");
    eeprom(3, TALMER + "rest of the chip");
    EXPECT_EQ(defaultPassword(), "Cok.nQ7agv7C");
    EXPECT_EQ(defaultPassword(), "Cok.nQ7agv7C");
    eeprom(3, "TLM-0042-8 02.03 LMNT");
    std::string other = defaultPassword();
    EXPECT_EQ(other.size(), 12u);
    EXPECT_NE(other, "Cok.nQ7agv7C");
}

TEST_F(IdentityTest, TakesTheFirstReadableFileAndSkipsShortOnes)
{
    cpuinfo("Hardware\t: Zeta\nRevision\t: a02082\n"); // unknown hardware: one record, like Talmer
    eeprom(1, "short");
    eeprom(3, TALMER);
    eeprom(4, CORE);
    EXPECT_EQ(defaultPassword(), "Cok.nQ7agv7C");
}

TEST_F(IdentityTest, CorvexNeedsTwoRecords)
{
    cpuinfo("Hardware\t: Corvex\nRevision\t: b1\n");
    eeprom(0, CORE);
    EXPECT_EQ(defaultPassword(), "");
    NetCredentials store{ne_uri{}};
    store.add({"/", "", "stale", "stale"});
    EXPECT_FALSE(initDefaultCredentials(store, "vrk"));
    EXPECT_TRUE(capture.has("ERROR: cannot recover default password for authentication"));
    EXPECT_TRUE(store.entries().empty());

    eeprom(2, CARRIER);
    EXPECT_EQ(defaultPassword(), "pMVOeYp0_7tM");
}

TEST_F(IdentityTest, RepairsKnownCorvexDefects)
{
    cpuinfo("Hardware\t: Corvex\nRevision\t: b1\n");
    eeprom(0, "CORE-7731-A01.~~xxxxx");
    eeprom(1, "CARR-5521-B02.12?????");
    EXPECT_EQ(defaultPassword(), "pMVOeYp0_7tM");

    eeprom(1, "CARR-5521-B02.13LMNTA"); // another carrier revision: the core data stays as read
    std::string unrepaired = defaultPassword();
    eeprom(0, "CORE-7731-A01.03xxxxx");
    EXPECT_NE(unrepaired, defaultPassword());
}

TEST_F(IdentityTest, OffersDefaultCredentialsOnlyWithUserAndPassword)
{
    eeprom(3, TALMER);
    cpuinfo("Hardware\t: Talmer\nSerial\t\t: 42\n");
    NetCredentials store{ne_uri{}};
    EXPECT_FALSE(initDefaultCredentials(store, "vrk"));
    EXPECT_TRUE(capture.has("ERROR: cannot recover default user name for authentication"));
    EXPECT_FALSE(capture.contains("cannot recover default password"));
    EXPECT_TRUE(store.entries().empty());

    cpuinfo("Hardware\t: Talmer\nRevision\t: a02082\n");
    ASSERT_TRUE(initDefaultCredentials(store, "vrk"));
    ASSERT_EQ(store.entries().size(), 1u);
    const CredentialEntry& e = store.entries()[0];
    EXPECT_EQ(e.path + " " + e.realm + " " + e.user + " " + e.password, "/  vrk-a02082 Cok.nQ7agv7C");
    EXPECT_FALSE(capture.contains("Cok.nQ7agv7C"));
}

} // namespace
} // namespace updater::testing
