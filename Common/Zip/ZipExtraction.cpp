// Where a member lands: the extraction root, the name the caller gives held
// to the same rules as member names, the folders made on the way down, and
// the output path a file member is written to. Writing the file itself is
// ZipTemporaryWriter.cpp's.

#include "ZipArchiveState.h"

using ZipLayer::AsU16;
using ZipLayer::AsWide;
using ZipLayer::Member;

namespace {

// The platform makes a folder by its usual name only while 12 characters
// stay free for a file inside it; a longer one is made by its extended name.
// Returns the name it was made by, or empty when it was not made.
std::u16string CreateFolder(const std::u16string& path)
{
    constexpr size_t kMaxFolder = ZipRules::kMaxPath - 12;
    std::u16string name = path;
    while (name.size() > 3 && (name.back() == u'\\' || name.back() == u'/')) {
        name.pop_back();
    }
    if (name.size() >= kMaxFolder) {
        const std::u16string extended = ZipRules::ExtendedLengthForm(name);
        if (!extended.empty()) {
            name = extended;
        }
    }
    return CreateDirectoryW(AsWide(name), nullptr) ? name : std::u16string();
}

// A folder member makes its folders and nothing else: no data is read and
// it gets no attributes and no times.
ZipStatus ExtractFolder(ZipArchive& archive, const std::u16string& target, bool fullPath)
{
    if (target.empty()) {
        archive.MakeFolders(&archive.root, std::u16string());
    } else if (fullPath) {
        if (target.size() > ZipRules::kMaxPath - 1) {
            return archive.Fail(ZipCannotOpen, ZipFailureCause::PathTooLong);
        }
        archive.MakeFolders(nullptr, target);
    } else {
        if (archive.root.size() + target.size() > ZipRules::kMaxPath - 1) {
            return archive.Fail(ZipCannotOpen, ZipFailureCause::PathTooLong);
        }
        archive.MakeFolders(&archive.root, target);
    }
    return ZipOk;
}

ZipStatus ExtractFile(ZipArchive& archive, const Member& member, const std::u16string& target, bool fullPath)
{
    const ZipRules::SplitPath split = ZipRules::SplitAfterLastSeparator(target);
    const bool fullDirectory = !split.directory.empty() && ZipRules::IsFullPath(split.directory);
    // "C:name" is relative to whatever folder is current on drive C: there
    // is no sound place for it, under the root or elsewhere.
    if (fullPath && !fullDirectory) {
        return archive.Fail(ZipBadArgument, ZipFailureCause::UnsafeName);
    }
    const std::u16string outputPath = fullDirectory ? target : archive.root + target;
    // Longer paths do not fit the layer's path buffers.
    if (outputPath.size() > ZipRules::kMaxPath - 1) {
        return archive.Fail(ZipCannotOpen, ZipFailureCause::PathTooLong);
    }
    archive.MakeFolders(fullDirectory ? nullptr : &archive.root, split.directory);
    return archive.WriteFileMember(member, outputPath);
}

}  // namespace

namespace ZipLayer {

// The root must fit the layer's path buffer, trailing separator included;
// a deeper current directory gives no archive at all.
std::u16string ReadExtractionRoot()
{
    wchar_t current[ZipRules::kMaxPath] = {};
    const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(ZipRules::kMaxPath), current);
    if (length == 0 || length >= ZipRules::kMaxPath) {
        return std::u16string();
    }
    return ZipRules::MakeRoot(AsU16(current));
}

}  // namespace ZipLayer

ZipStatus ZipArchive::Unzip(int index, const wchar_t* name)
{
    if (name == nullptr || index < 0 || index >= count) {
        return Fail(ZipBadArgument, ZipFailureCause::BadArgument);
    }
    // The reader must stand at the member even when its description comes
    // from the cache, since a failed request may have moved it since.
    ZipStatus status = PositionAt(index);
    if (status != ZipOk) {
        return status;
    }
    Member member{};
    status = Describe(index, &member);
    if (status != ZipOk) {
        return status;
    }

    const std::u16string target = AsU16(name);
    const bool fullPath = ZipRules::IsFullPath(target);
    // A caller may name a full path on purpose; a relative name is held to
    // the same rule as member names, so it cannot leave the root either.
    if (!fullPath && ZipRules::CheckRelativeName(target) != ZipRules::NameProblem::None) {
        return Fail(ZipBadArgument, ZipFailureCause::UnsafeName);
    }
    if ((member.item.attributes & ZipRules::kAttrDirectory) != 0) {
        return ExtractFolder(*this, target, fullPath);
    }
    return ExtractFile(*this, member, target, fullPath);
}

// Folders are made from the top down; a failure is not checked here, it
// shows when the output file cannot be created. While staging, every folder
// this call creates is recorded just after it is made.
void ZipArchive::MakeFolders(const std::u16string* base, const std::u16string& directory)
{
    const std::u16string top = base != nullptr ? *base : std::u16string();
    auto ensure = [this](const std::u16string& path) {
        if (ZipLayer::PathExists(path)) {
            return;
        }
        const std::u16string created = CreateFolder(path);
        if (!created.empty() && staging) {
            journal.Record({ZipRules::JournalStep::Folder, created, {}, {}});
        }
    };
    if (base != nullptr) {
        ensure(top);
    }
    for (const std::u16string& folder : ZipRules::DirectoriesTopDown(directory)) {
        ensure(top + folder);
    }
}
