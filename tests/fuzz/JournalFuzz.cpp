// The journal found on the stick, which anyone with the stick can write.
// A journal the rules take, settled on a drive that holds every file it
// names, touches nothing outside the product's folder, and removes only
// staging files, folders, and files of exactly the size a move recorded.
#include <map>

#include "FuzzRequire.h"
#include "ZipJournalRules.h"
#include "ZipRules.h"

namespace {

const std::u16string kFolder = u"F:\\Quillon\\";

bool Inside(const std::u16string& path)
{
    return path.compare(0, kFolder.size(), kFolder) == 0 ||
           path.compare(0, 4 + kFolder.size(), u"\\\\?\\" + kFolder) == 0;
}

// Every path exists (as a file of 7 bytes) until it is removed or renamed.
class WatchedDrive : public ZipRules::IJournalFiles {
public:
    bool Exists(const std::u16string& path) override { return Touch(path) && gone.count(path) == 0; }
    std::optional<uint64_t> FileSize(const std::u16string& path) override
    {
        return Exists(path) ? std::optional<uint64_t>(7) : std::nullopt;
    }
    bool Delete(const std::u16string& path) override
    {
        Require(Touch(path));
        const std::u16string file = ZipRules::SplitAfterLastSeparator(path).file;
        Require(ZipRules::IsStagingName(file) || moveTargets.count(path) != 0);
        gone[path] = true;
        return true;
    }
    bool Rename(const std::u16string& from, const std::u16string& to) override
    {
        Require(Touch(from) && Touch(to));
        Require(ZipRules::IsStagingName(ZipRules::SplitAfterLastSeparator(from).file));
        gone[from] = true;
        gone.erase(to);
        return true;
    }
    bool RemoveFolder(const std::u16string& path) override { return Touch(path); }

    std::map<std::u16string, bool> gone;
    std::map<std::u16string, bool> moveTargets;

private:
    static bool Touch(const std::u16string& path)
    {
        Require(Inside(path));
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2) {
        text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    // Narrow bytes too, so that short inputs reach the separators.
    if (size % 2 == 1) {
        text.assign(data, data + size);
    }
    const std::vector<ZipRules::JournalEntry> entries = ZipRules::ParseJournal(text);
    std::u16string again;
    for (const ZipRules::JournalEntry& entry : entries) {
        again += ZipRules::FormatJournalEntry(entry);
    }
    Require(ZipRules::ParseJournal(again).size() == entries.size());
    if (ZipRules::CheckFoundJournal(entries) != ZipRules::JournalRefusal::None) {
        return 0;
    }
    const auto resolved = ZipRules::ResolveInFolder(entries, kFolder);
    if (!resolved) {
        return 0;
    }
    WatchedDrive drive;
    for (const ZipRules::JournalEntry& entry : *resolved) {
        if (entry.step == ZipRules::JournalStep::Move && entry.bytes == 7) {
            drive.moveTargets[entry.second] = true;
        }
    }
    ZipRules::SettleJournal(*resolved, drive);
    return 0;
}
