#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "DriveInventory.h"
#include "Sha256Hasher.h"
#include "TempFolder.h"

using namespace PackageManifest;

namespace {

void Write(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

Member Signed(const std::string& name, const std::string& bytes)
{
    return {name, bytes.size(), Sha256Hasher::Of(bytes)};
}

// "s" the signed bytes, "d" a file that differs, "-" nothing, per member.
std::string Verdicts(const DriveInventory::Inventory& inventory)
{
    std::string text;
    for (size_t i = 0; i < inventory.onDrive.size(); ++i) {
        text += inventory.onDrive[i] ? 's' : inventory.differs[i] ? 'd' : '-';
    }
    return text;
}

}  // namespace

// The head start reads the files the old record names before the new
// manifest is in; whatever it read, the verdicts are those of a plain read.
TEST(DriveInventory, AHeadStartFromTheRecordNeverChangesWhatTheDriveIsFoundToHold)
{
    const std::wstring drive = NewTempFolder(L"qiv");
    CreateDirectoryW((drive + L"\\defs").c_str(), nullptr);
    const std::string big(3 << 20, 'q');
    Write(drive + L"\\Quillon.exe", big);                       // unchanged
    Write(drive + L"\\defs\\main.dat", "definitions, damaged");  // same size as signed, other bytes
    Write(drive + L"\\defs\\grown.dat", "short");                // the new version made it longer
    Write(drive + L"\\readme.txt", "read me");                  // not in the old record
    CreateDirectoryW((drive + L"\\gone.dll").c_str(), nullptr);  // a folder where a file belongs

    Manifest manifest;
    manifest.members = {Signed("defs/", ""),
                        Signed("Quillon.exe", big),
                        Signed("defs/main.dat", "definitions, signed!"),
                        Signed("defs/grown.dat", "longer than before"),
                        Signed("readme.txt", "read me"),
                        Signed("gone.dll", "dll"),
                        Signed("new.dll", "new")};
    const std::vector<RecordedFile> record = {{"Quillon.exe", big.size()},       {"defs/main.dat", 20},
                                              {"defs/grown.dat", 5},            {"gone.dll", 3},
                                              {"removed-since.txt", 4},         {"new.dll", 9}};
    const std::string plain = Verdicts(DriveInventory::Take(manifest, drive, nullptr));
    EXPECT_EQ("ssdds--", plain);
    {
        DriveInventory::HeadStart headStart(drive, record, nullptr);
        EXPECT_EQ(plain, Verdicts(DriveInventory::Take(manifest, drive, nullptr, &headStart)));
    }
    // A record whose sizes are all wrong costs a second read, not a wrong verdict.
    std::vector<RecordedFile> stale = record;
    for (RecordedFile& file : stale) {
        file.size += 1;
    }
    DriveInventory::HeadStart staleStart(drive, stale, nullptr);
    EXPECT_EQ(plain, Verdicts(DriveInventory::Take(manifest, drive, nullptr, &staleStart)));
    EXPECT_TRUE(DriveInventory::Take(manifest, drive, nullptr).anyPresent);

    // Cancelled from the start: nothing counts as on the drive.
    std::atomic<bool> cancel{true};
    DriveInventory::HeadStart cancelled(drive, record, &cancel);
    EXPECT_EQ("-------", Verdicts(DriveInventory::Take(manifest, drive, &cancel, &cancelled)));
}
