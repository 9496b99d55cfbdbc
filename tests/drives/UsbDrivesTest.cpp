// Drive discovery against the stand-in WMI locator registered in the test
// prefix. Each case writes the world the stand-in reports, runs the real
// GetUsbDrives and reads back what the stand-in was asked.
#include <windows.h>
#include <objbase.h>
#include <wbemidl.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ScopedHandles.h"
#include "UsbDrives.h"

// Allocation failure on demand: the n-th allocation from now throws.
namespace {
std::atomic<long> g_allocationsLeft(-1);
}

void* operator new(size_t size)
{
    long left = g_allocationsLeft.load();
    while (left >= 0) {
        if (left == 0) {
            throw std::bad_alloc();
        }
        if (g_allocationsLeft.compare_exchange_weak(left, left - 1)) {
            break;
        }
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

std::string Narrow(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &result[0], size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size > 0 ? size - 1 : 0));
    return result;
}

std::wstring TempFile(const wchar_t* name)
{
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name;
}

long LiveStandInObjects()
{
    const HMODULE module = GetModuleHandleW(L"wmi_standin.dll");
    if (module == nullptr) {
        return -1;
    }
    using Count = LONG(WINAPI*)();
    const auto count = reinterpret_cast<Count>(
        reinterpret_cast<void*>(GetProcAddress(module, "StandInLiveObjects")));
    return count == nullptr ? -1 : count();
}

// The world the stand-in reports for the length of one test.
class StandInWorld {
public:
    explicit StandInWorld(const std::string& fixture) : m_path(TempFile(L"quillon-wmi-fixture.txt"))
    {
        DeleteFileW((m_path + L".log").c_str());
        std::ofstream(Narrow(m_path), std::ios::binary) << fixture;
        SetEnvironmentVariableW(L"QUILLON_WMI_FIXTURE", m_path.c_str());
    }
    ~StandInWorld() { SetEnvironmentVariableW(L"QUILLON_WMI_FIXTURE", nullptr); }

    std::vector<std::string> Log() const
    {
        std::ifstream in(Narrow(m_path + L".log"), std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    std::vector<std::string> Queries() const
    {
        std::vector<std::string> queries;
        for (const std::string& line : Log()) {
            if (line.rfind("query\t", 0) == 0) {
                queries.push_back(line.substr(line.rfind('\t') + 1));
            }
        }
        return queries;
    }

private:
    std::wstring m_path;
};

// One disk line with its partitions and their logical disks.
std::string Disk(const std::string& deviceId, const std::string& pnpDeviceId,
                 const std::string& interfaceType = "USB")
{
    std::string line = "disk\tDeviceID=" + deviceId;
    if (!pnpDeviceId.empty()) {
        line += "\tPNPDeviceID=" + pnpDeviceId;
    }
    return line + "\tInterfaceType=" + interfaceType + "\n";
}
std::string Partition(const std::string& deviceId) { return "partition\tDeviceID=" + deviceId + "\n"; }
std::string Logical(const std::string& name) { return "logical\tName=" + name + "\n"; }

UsbDriveMap Discover()
{
    UsbDriveMap drives = GetUsbDrives();
    EXPECT_EQ(0, LiveStandInObjects()) << "WMI objects left unreleased";
    return drives;
}

class UsbDrivesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The stand-in must be the one answering, or every case below would
        // pass or fail for the wrong reason.
        const StandInWorld world("");
        GetUsbDrives();
        ASSERT_GE(LiveStandInObjects(), 0)
            << "the WMI locator is not the stand-in; is the wmi_standin fixture registered?";
    }
};

TEST_F(UsbDrivesTest, ListsOneStickUnderItsLetterWithTheLastPartOfItsIdentifier)
{
    const StandInWorld world(Disk("\\\\.\\PHYSICALDRIVE1", "USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER\\4C530001&0") +
                             Partition("Disk #1, Partition #0") + Logical("F:"));
    EXPECT_THAT(Discover(), ElementsAre(Pair(L'F', L"4C530001&0")));
}

TEST_F(UsbDrivesTest, MapsLettersInAlphabeticalOrderAndSharesOneDisksValue)
{
    {
        const StandInWorld world(Disk("\\\\.\\PHYSICALDRIVE1", "USBSTOR\\DISK\\AAA") +
                                 Partition("Disk #1, Partition #0") + Logical("G:") +
                                 Partition("Disk #1, Partition #1") + Logical("E:"));
        EXPECT_THAT(Discover(), ElementsAre(Pair(L'E', L"AAA"), Pair(L'G', L"AAA")));
    }
    {
        // Reported G then E, by two disks: the map still starts with E, and
        // each letter keeps its own disk's value.
        const StandInWorld world(Disk("\\\\.\\PHYSICALDRIVE1", "USBSTOR\\DISK\\GGG") +
                                 Partition("Disk #1, Partition #0") + Logical("G:") +
                                 Disk("\\\\.\\PHYSICALDRIVE2", "USBSTOR\\DISK\\EEE") +
                                 Partition("Disk #2, Partition #0") + Logical("E:"));
        EXPECT_THAT(Discover(), ElementsAre(Pair(L'E', L"EEE"), Pair(L'G', L"GGG")));
    }
    {
        // A letter met twice takes the later disk's value.
        const StandInWorld world(Disk("\\\\.\\PHYSICALDRIVE1", "USBSTOR\\DISK\\FIRST") +
                                 Partition("Disk #1, Partition #0") + Logical("E:") +
                                 Disk("\\\\.\\PHYSICALDRIVE2", "USBSTOR\\DISK\\SECOND") +
                                 Partition("Disk #2, Partition #0") + Logical("E:"));
        EXPECT_THAT(Discover(), ElementsAre(Pair(L'E', L"SECOND")));
    }
}

TEST_F(UsbDrivesTest, AcceptsOnlyTheThreeStoragePrefixesAtTheStart)
{
    const StandInWorld world(
        Disk("D0", "usbstor\\DISK\\LOWER") + Partition("P0") + Logical("H:") +
        Disk("D1", "IDE\\USBSTOR\\INSIDE") + Partition("P1") + Logical("I:") +
        Disk("D2", "XSCSI\\DISK\\SHIFTED") + Partition("P2") + Logical("J:") +
        Disk("D3", "SCSI\\DISK&VEN_X\\7&2A&0&000000") + Partition("P3") + Logical("K:") +
        Disk("D4", "UASPStor\\DISK&VEN_Y\\8&1") + Partition("P4") + Logical("L:") +
        Disk("D5", "UASPSTOR\\DISK&VEN_Y\\WRONGCASE") + Partition("P5") + Logical("M:") +
        Disk("D6", "USBSTOR") + Partition("P6") + Logical("N:") +
        Disk("D7", "USBSTORDISKNOSLASH") + Partition("P7") + Logical("O:") +
        // Interface type other than USB: the query itself leaves it out.
        Disk("D8", "USBSTOR\\DISK\\INTERNAL", "IDE") + Partition("P8") + Logical("P:"));
    EXPECT_THAT(Discover(), ElementsAre(Pair(L'K', L"7&2A&0&000000"), Pair(L'L', L"8&1"),
                                        Pair(L'N', L"USBSTOR"), Pair(L'O', L"USBSTORDISKNOSLASH")));
}

TEST(UsbInstanceIdTest, KeepsThePartAfterTheLastBackslash)
{
    std::wstring id = L"untouched";
    EXPECT_TRUE(UsbInstanceIdFromPnpDeviceId(L"USBSTOR\\A\\B\\C", &id));
    EXPECT_EQ(L"C", id);
    EXPECT_TRUE(UsbInstanceIdFromPnpDeviceId(L"SCSI\\", &id));
    EXPECT_EQ(L"", id);
    EXPECT_TRUE(UsbInstanceIdFromPnpDeviceId(L"UASPStor", &id));
    EXPECT_EQ(L"UASPStor", id);
    id = L"untouched";
    EXPECT_FALSE(UsbInstanceIdFromPnpDeviceId(L"USBST", &id));
    EXPECT_FALSE(UsbInstanceIdFromPnpDeviceId(L"", &id));
    EXPECT_FALSE(UsbInstanceIdFromPnpDeviceId(L" USBSTOR\\X", &id));
    EXPECT_EQ(L"untouched", id);
}

TEST_F(UsbDrivesTest, ListsNothingForDisksWithoutPartitionsLettersOrNames)
{
    const StandInWorld world(Disk("D0", "USBSTOR\\DISK\\NOPARTITION") +
                             Disk("D1", "USBSTOR\\DISK\\NOLETTER") + Partition("P1") +
                             Disk("D2", "USBSTOR\\DISK\\EMPTYNAME") + Partition("P2") + Logical("") +
                             Disk("D3", "USBSTOR\\DISK\\NUMBERNAME") + Partition("P3") +
                             "logical\tName:i4=69\n");
    EXPECT_THAT(Discover(), IsEmpty());
}

TEST_F(UsbDrivesTest, PairsDiskListsByPositionWhenAnIdentifierIsMissing)
{
    {
        // The last disk has no PNPDeviceID: it has no partner and its letter
        // is skipped; the first disk is unaffected.
        const StandInWorld world(Disk("D0", "USBSTOR\\DISK\\FIRST") + Partition("P0") + Logical("E:") +
                                 Disk("D1", "") + Partition("P1") + Logical("F:"));
        EXPECT_THAT(Discover(), ElementsAre(Pair(L'E', L"FIRST")));
    }
    {
        // The first one lacks it: the lists shift, and the letter of the
        // first disk is paired with the second identifier.
        const StandInWorld world(Disk("D0", "") + Partition("P0") + Logical("E:") +
                                 Disk("D1", "USBSTOR\\DISK\\SECOND") + Partition("P1") + Logical("F:"));
        EXPECT_THAT(Discover(), ElementsAre(Pair(L'E', L"SECOND")));
    }
}

const std::string kTwoSticks = Disk("D0", "USBSTOR\\DISK\\ONE") + Partition("P0") + Logical("E:") +
                               Partition("P0b") + Logical("H:") +
                               Disk("D1", "USBSTOR\\DISK\\TWO") + Partition("P1") + Logical("F:");

TEST_F(UsbDrivesTest, AFailingQueryCostsOnlyWhatItWouldHaveFound)
{
    {
        const StandInWorld world("fail\tDeviceID='D0'\n" + kTwoSticks);
        EXPECT_THAT(Discover(), ElementsAre(Pair(L'F', L"TWO")));
    }
    {
        const StandInWorld world("fail\tDeviceID='P0'\n" + kTwoSticks);
        EXPECT_THAT(Discover(), ElementsAre(Pair(L'F', L"TWO"), Pair(L'H', L"ONE")));
    }
    {
        // The enumerator fails on its first Next.
        const StandInWorld world("failnext\tDeviceID='P1'\n" + kTwoSticks);
        EXPECT_THAT(Discover(), ElementsAre(Pair(L'E', L"ONE"), Pair(L'H', L"ONE")));
    }
    {
        const StandInWorld world("fail\tWin32_DiskDrive WHERE\n" + kTwoSticks);
        EXPECT_THAT(Discover(), IsEmpty());
    }
}

TEST_F(UsbDrivesTest, GivesAnEmptyMapWhenTheConnectionCannotBeMade)
{
    for (const char* step : {"locator", "connect", "blanket"}) {
        const StandInWorld world(std::string("refuse\t") + step + "\n" + kTwoSticks);
        EXPECT_THAT(Discover(), IsEmpty()) << step;
        EXPECT_THAT(world.Queries(), IsEmpty()) << step;
    }
}

TEST_F(UsbDrivesTest, SendsTheExactCallsAndQueryTexts)
{
    const StandInWorld world(Disk("\\\\.\\PHYSICALDRIVE1", "USBSTOR\\DISK\\ONE") +
                             Partition("Disk #1, Partition #0") + Logical("E:") +
                             Partition("Disk #1, Partition #1") +
                             Disk("\\\\.\\PHYSICALDRIVE2", "USBSTOR\\DISK\\TWO"));
    Discover();
    const std::string disks = "query\tWQL\t0x30\tSELECT * FROM Win32_DiskDrive WHERE InterfaceType = 'USB'";
    EXPECT_THAT(
        world.Log(),
        ElementsAre(
            "connect\tROOT\\CIMV2\t(null)\t(null)\t(null)\t0\t(null)\t(null)",
            "blanket\t10\t0\t(null)\t3\t3\t(null)\t0", disks, disks,
            "query\tWQL\t0x30\tASSOCIATORS OF {Win32_DiskDrive.DeviceID='\\\\.\\PHYSICALDRIVE1'} "
            "WHERE AssocClass = Win32_DiskDriveToDiskPartition",
            "query\tWQL\t0x30\tASSOCIATORS OF {Win32_DiskPartition.DeviceID='Disk #1, Partition #0'} "
            "WHERE AssocClass = Win32_LogicalDiskToPartition",
            "query\tWQL\t0x30\tASSOCIATORS OF {Win32_DiskPartition.DeviceID='Disk #1, Partition #1'} "
            "WHERE AssocClass = Win32_LogicalDiskToPartition",
            "query\tWQL\t0x30\tASSOCIATORS OF {Win32_DiskDrive.DeviceID='\\\\.\\PHYSICALDRIVE2'} "
            "WHERE AssocClass = Win32_DiskDriveToDiskPartition"));
}

// A services object of the stand-in, for calling RunWmiQuery directly.
NCommon::ComPtr<IWbemServices> ConnectToStandIn(NCommon::ComPtr<IWbemLocator>* locator)
{
    NCommon::ComPtr<IWbemServices> services;
    if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                locator->put_void()))) {
        return services;
    }
    const NCommon::ScopedBstr resource(L"ROOT\\CIMV2");
    (*locator)->ConnectServer(resource.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                              services.put());
    return services;
}

TEST_F(UsbDrivesTest, RunWmiQueryKeepsStringsInOrderAndSkipsOtherValues)
{
    const StandInWorld world(Disk("D0", "USBSTOR\\A") + Disk("D1", "") + Disk("D2", "SCSI\\C") +
                             "disk\tDeviceID=D3\tPNPDeviceID:i4=7\tInterfaceType=USB\n" +
                             Disk("D4", "X\\INTERNAL", "IDE") + Partition("P4"));
    {
        NCommon::ComPtr<IWbemLocator> locator;
        const NCommon::ComPtr<IWbemServices> services = ConnectToStandIn(&locator);
        ASSERT_TRUE(services);
        EXPECT_THAT(RunWmiQuery(services.get(), UsbDiskQuery(), L"PNPDeviceID"),
                    ElementsAre(L"USBSTOR\\A", L"SCSI\\C"));
        EXPECT_THAT(RunWmiQuery(services.get(), L"SELECT * FROM Win32_DiskDrive", L"DeviceID"),
                    ElementsAre(L"D0", L"D1", L"D2", L"D3", L"D4"));
        EXPECT_THAT(RunWmiQuery(services.get(), L"SELECT Nonsense", L"DeviceID"), IsEmpty());
        EXPECT_THAT(RunWmiQuery(services.get(), DiskPartitionsQuery(L"NO SUCH DISK"), L"DeviceID"),
                    IsEmpty());
        EXPECT_THAT(RunWmiQuery(services.get(), DiskPartitionsQuery(L"D4"), L"DeviceID"),
                    ElementsAre(L"P4"));
    }
    EXPECT_EQ(0, LiveStandInObjects());
}

TEST_F(UsbDrivesTest, OutOfMemoryLeavesWithBadAllocAndReleasesEverything)
{
    const StandInWorld world(kTwoSticks);
    bool threw = false;
    bool completed = false;
    for (long failAt = 0; failAt < 2000 && !completed; ++failAt) {
        g_allocationsLeft = failAt;
        try {
            const UsbDriveMap drives = GetUsbDrives();
            g_allocationsLeft = -1;
            completed = true;
            EXPECT_THAT(drives, ElementsAre(Pair(L'E', L"ONE"), Pair(L'F', L"TWO"), Pair(L'H', L"ONE")));
        } catch (const std::bad_alloc&) {
            g_allocationsLeft = -1;
            threw = true;
        }
        ASSERT_EQ(0, LiveStandInObjects()) << "after failing allocation " << failAt;
    }
    EXPECT_TRUE(threw);
    EXPECT_TRUE(completed);
}

}  // namespace

int main(int argc, char** argv)
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) ||
        FAILED(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr))) {
        fprintf(stderr, "COM set-up failed\n");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
