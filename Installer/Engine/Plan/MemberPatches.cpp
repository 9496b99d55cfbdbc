#include "MemberPatches.h"

#include <windows.h>

#include "CancelFlag.h"
#include "JoinPath.h"
#include "MessageError.h"
#include "PackageSignature.h"
#include "PatchDecoder.h"
#include "ScopedHandles.h"
#include "Sha256Hasher.h"
#include "SmallFile.h"
#include "TextConversion.h"
#include "easylogging++.h"

namespace {

const wchar_t kListPath[] = L"/SW_UPDATE/KT-QUILLON/Quillon.patches";
const wchar_t kListFileName[] = L"Quillon.patches";
const wchar_t kPatchFileName[] = L"Quillon.patch";

uint64_t FileSizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string Read(const std::wstring& path, uint64_t limit, const char* what)
{
    std::string bytes;
    switch (NCommon::ReadSmallFile(path, static_cast<uint32_t>(limit), bytes)) {
    case NCommon::SmallFileRead::Read:
        return bytes;
    case NCommon::SmallFileRead::TooLarge:
        throw MessageError(std::string(what) + " is larger than " + std::to_string(limit) + " bytes");
    default:
        throw MessageError(std::string("cannot read ") + what);
    }
}

void WriteWhole(const std::wstring& path, const std::string& bytes)
{
    NCommon::ScopedHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        throw MessageError("cannot create the rebuilt member in the work folder");
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 24));
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr) || written != chunk) {
            throw MessageError("cannot write the rebuilt member in the work folder");
        }
        done += chunk;
    }
}

}  // namespace

MemberPatches::MemberPatches(std::wstring folder, std::wstring destination, const DownloadFunction& download,
                             IInstallListener* listener, const std::atomic<bool>* cancel)
    : m_folder(std::move(folder)),
      m_destination(std::move(destination)),
      m_download(download),
      m_listener(listener),
      m_cancel(cancel)
{
}

MemberPatches::~MemberPatches()
{
    for (const std::wstring& path : m_written) {
        DeleteFileW(path.c_str());
    }
}

std::string MemberPatches::Fetch(const std::wstring& urlPath, const std::wstring& fileName,
                                 std::optional<uint32_t> size, uint32_t maxSize, bool proxyOnly)
{
    DownloadTarget target;
    target.urlPath = urlPath;
    target.fileName = fileName;
    target.size = size;
    target.maxSize = maxSize;
    target.reportsProgress = false;
    target.reportsStart = false;
    const std::wstring path = m_folder + fileName;
    m_written.push_back(path);
    try {
        m_download(m_folder, m_listener, m_cancel, proxyOnly, target);
    } catch (...) {
        m_fetched += FileSizeOf(path);
        throw;
    }
    m_fetched += FileSizeOf(path);
    return Read(path, maxSize, "the fetched file");
}

const PatchList::List* MemberPatches::List(const PackageManifest::Manifest& manifest, bool proxyOnly)
{
    if (m_listAsked) {
        return m_list ? &*m_list : nullptr;
    }
    m_listAsked = true;
    std::string problem;
    try {
        const std::string bytes = Fetch(kListPath, kListFileName, std::nullopt, PatchList::kMaxBytes, proxyOnly);
        PatchList::ParseResult parsed = PatchList::Parse(bytes);
        if (!parsed.list) {
            problem = "the patch list cannot be used: " + parsed.problem;
        } else {
            // The list is signed as a manifest is, with the same keys.
            PackageManifest::Manifest signedAs;
            signedAs.keyId = parsed.list->keyId;
            signedAs.signedText = parsed.list->signedText;
            signedAs.signature = parsed.list->signature;
            const PackageSignature::Verdict verdict = PackageSignature::Verify(signedAs);
            problem = verdict.valid ? PatchList::CheckBinding(*parsed.list, manifest,
                                                              Sha256Hasher::Of(manifest.signedText))
                                    : "the patch list's signature is not the vendor's: " + verdict.problem;
        }
        if (problem.empty()) {
            m_list = std::move(parsed.list);
            LOG(INFO) << "Patch list: " << m_list->patches.size() << " patches for version " << m_list->version;
            return &*m_list;
        }
    } catch (const std::exception& error) {
        problem = std::string("the patch list could not be fetched: ") + error.what();
    }
    LOG(INFO) << "No binary patches for this update (" << problem << "); fetching whole members";
    return nullptr;
}

std::vector<bool> MemberPatches::RebuildChanged(const PackageManifest::Manifest& manifest,
                                                const std::vector<size_t>& manifestIndex,
                                                const std::vector<bool>& write, const std::vector<ByteRange>& spans,
                                                const std::vector<PatchPlan::DriveFile>& driveFiles, bool proxyOnly)
{
    m_rebuilt.resize(manifestIndex.size(), false);
    if (m_forgone) {
        m_rebuilt.assign(manifestIndex.size(), false);
        return m_rebuilt;
    }
    if (!PatchPlan::WorthAsking(manifestIndex, write, driveFiles)) {
        return std::vector<bool>(manifestIndex.size(), false);
    }
    const PatchList::List* list = List(manifest, proxyOnly);
    if (list == nullptr) {
        return std::vector<bool>(manifestIndex.size(), false);
    }
    const std::vector<PatchPlan::Choice> choices =
        PatchPlan::Choose(manifest.members, manifestIndex, write, spans, driveFiles, *list);
    for (size_t i = 0; i < choices.size(); ++i) {
        const PackageManifest::Member& member = manifest.members[manifestIndex[i]];
        if (!choices[i].whyNot.empty()) {
            LOG(INFO) << "Fetching \"" << member.name << "\" whole instead of patching it: " << choices[i].whyNot;
        }
        if (choices[i].patch == nullptr || m_rebuilt[i] || IsCancelled(m_cancel)) {
            continue;
        }
        std::wstring relative = FromUtf8(member.name);
        for (wchar_t& c : relative) {
            c = c == L'/' ? L'\\' : c;
        }
        m_rebuilt[i] = Rebuild(i, *choices[i].patch, member, NCommon::JoinPath(m_destination, relative), proxyOnly);
    }
    return m_rebuilt;
}

std::wstring MemberPatches::ResultPath(size_t entry) const
{
    return m_folder + L"Quillon.rebuilt." + std::to_wstring(entry);
}

bool MemberPatches::Rebuild(size_t entry, const PatchList::Patch& patch, const PackageManifest::Member& member,
                            const std::wstring& oldPath, bool proxyOnly)
{
    std::string problem;
    try {
        problem = RebuildFrom(entry, patch, member, oldPath, proxyOnly);
    } catch (const std::exception& error) {
        problem = error.what();
    }
    DeleteFileW((m_folder + kPatchFileName).c_str());
    if (!problem.empty()) {
        LOG(INFO) << "Fetching \"" << member.name << "\" whole instead of patching it: " << problem;
        return false;
    }
    LOG(INFO) << "Rebuilt \"" << member.name << "\" (" << member.size << " bytes) from a patch of " << patch.size
              << " bytes";
    return true;
}

std::string MemberPatches::RebuildFrom(size_t entry, const PatchList::Patch& patch,
                                       const PackageManifest::Member& member, const std::wstring& oldPath,
                                       bool proxyOnly)
{
    std::string bytes;
    try {
        bytes = Fetch(std::wstring(patch.path.begin(), patch.path.end()), kPatchFileName,
                      static_cast<uint32_t>(patch.size), static_cast<uint32_t>(patch.size), proxyOnly);
    } catch (const std::exception& error) {
        return std::string("the patch could not be fetched (") + error.what() + ")";
    }
    if (bytes.size() != patch.size || Sha256Hasher::Of(bytes) != patch.sha256) {
        return "the patch is not the signed one";
    }
    // The file on the drive was hashed by the inventory; had it changed
    // since, the result's hash below would say so.
    const std::string old = Read(oldPath, PatchDecoder::kMaxFileBytes, "the file on the drive");
    const PatchDecoder::Decoded decoded = PatchDecoder::Apply(old, bytes, member.size);
    if (!decoded.ok) {
        return decoded.problem;
    }
    if (Sha256Hasher::Of(decoded.bytes) != member.sha256) {
        return "the patch does not give the signed member";
    }
    const std::wstring result = ResultPath(entry);
    m_written.push_back(result);
    WriteWhole(result, decoded.bytes);
    return std::string();
}
