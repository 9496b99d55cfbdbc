// A small driver that runs the extraction layer on a real archive under Wine
// and prints what it returned, one line per result, for the test scripts and
// the benchmark. Names travel as hex of their UTF-8 bytes so that no console
// code page gets in the way.
//
//   zip_probe open <zip>
//   zip_probe open-in <folder> <zip>
//   zip_probe list <zip>
//   zip_probe extract <zip>                  (the pipeline's sequence, going on past failures)
//   zip_probe unzip <zip> <index> <hex name>
//   zip_probe stat <path>...
//   zip_probe trace <zip> <index>...         (GetZipItem with the reader's seeks and reads)
//   zip_probe install <destination> <package>...   (InstallBackend::Install, stand-in download)
//   zip_probe stage <zip> <journal> <marker|-> <hex obsolete name>...
//                                            (every member staged; once <marker> exists, the
//                                             obsolete names added and the commit)
//   zip_probe recover <journal>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "IInstallListener.h"
#include "InstallEnvironment.h"
#include "ZipArchive.h"
#include "easylogging++.h"

namespace {

std::string Hex(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), size, nullptr,
                        nullptr);
    std::string hex;
    char pair[3];
    for (unsigned char c : utf8) {
        snprintf(pair, sizeof(pair), "%02x", c);
        hex += pair;
    }
    return hex.empty() ? "-" : hex;
}

std::wstring FromHex(const std::wstring& hex)
{
    if (hex == L"-") {
        return std::wstring();
    }
    std::string utf8;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        utf8 += static_cast<char>(std::wcstoul(hex.substr(i, 2).c_str(), nullptr, 16));
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), size);
    return text;
}

unsigned long long Ticks(const FILETIME& time)
{
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

void PrintItem(int index, ZipStatus status, const ZipItem& item)
{
    if (status != ZipOk) {
        printf("item %d %#x\n", index, static_cast<unsigned>(status));
        return;
    }
    printf("item %d 0 %s %#lx %llu %llu %llu %u %u\n", index, Hex(item.name).c_str(),
           static_cast<unsigned long>(item.attributes), Ticks(item.accessTime), Ticks(item.creationTime),
           Ticks(item.modificationTime), item.compressedSize, item.uncompressedSize);
}

class Archive {
public:
    explicit Archive(const wchar_t* path) : m_zip(OpenZipFile(path)) {}
    ~Archive()
    {
        if (m_zip != nullptr) {
            CloseZipFile(m_zip);
        }
    }
    HZIP get() const { return m_zip; }

private:
    HZIP m_zip;
};

int Count(HZIP zip)
{
    ZipItem item{};
    GetZipItem(zip, -1, &item);
    return item.index;
}

class TraceObserver : public IZipIoObserverForTesting {
public:
    void OnSeek(uint64_t position) override { m_seeks.push_back(position); }
    void OnRead(uint64_t, uint32_t) override { ++m_reads; }
    std::string Take()
    {
        std::string text = "reads=" + std::to_string(m_reads) + " seeks=";
        for (size_t i = 0; i < m_seeks.size(); ++i) {
            text += (i == 0 ? "" : ",") + std::to_string(m_seeks[i]);
        }
        m_seeks.clear();
        m_reads = 0;
        return text;
    }

private:
    std::vector<uint64_t> m_seeks;
    unsigned m_reads = 0;
};

// Prints every wait the layer reports.
class WaitPrinter : public IZipWaitListener {
public:
    void Waited(const wchar_t* path, DWORD error, DWORD milliseconds, bool succeeded) override
    {
        printf("waited %s %lu %lu %s\n", Hex(path).c_str(), static_cast<unsigned long>(error),
               static_cast<unsigned long>(milliseconds), succeeded ? "taken" : "failed");
    }
};

int Stage(int argc, wchar_t** argv)
{
    Archive archive(argv[2]);
    if (archive.get() == nullptr) {
        printf("open null\n");
        return 0;
    }
    WaitPrinter waits;
    SetZipWaitListener(archive.get(), &waits);
    printf("begin %#x\n", static_cast<unsigned>(BeginZipStaging(archive.get(), argv[3])));
    const int count = Count(archive.get());
    for (int i = 0; i < count; ++i) {
        ZipItem item{};
        if (GetZipItem(archive.get(), i, &item) == ZipOk) {
            printf("unzip %d %#x\n", i, static_cast<unsigned>(UnzipItem(archive.get(), i, item.name)));
        }
    }
    fflush(stdout);
    const std::wstring marker = argv[4];
    for (int waited = 0; marker != L"-" && waited < 20000 &&
                         GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES;
         waited += 10) {
        Sleep(10);
    }
    for (int i = 5; i < argc; ++i) {
        printf("obsolete %#x\n",
               static_cast<unsigned>(RemoveZipFileOnCommit(archive.get(), FromHex(argv[i]).c_str())));
    }
    const ZipStatus committed = CommitZipStaging(archive.get());
    printf("commit %#x %s\n", static_cast<unsigned>(committed),
           committed == ZipOk ? "-" : ZipFailureText(GetZipFailure(archive.get()).cause));
    fflush(stdout);
    return 0;
}

int Install(int argc, wchar_t** argv)
{
    el::Configurations quiet;
    quiet.setToDefault();
    quiet.set(el::Level::Global, el::ConfigurationType::ToStandardOutput, "false");
    el::Loggers::reconfigureAllLoggers(quiet);

    const std::wstring destination = argv[2];
    std::vector<std::wstring> packages(argv + 3, argv + argc);
    int downloads = 0;
    InstallBackend::Environment environment = InstallBackend::ProductEnvironment();
    environment.getUsbDrives = [&] { return UsbDriveMap{{destination[0], L"STAND-IN"}}; };
    environment.getDiskFreeSpace = [](const wchar_t*, DWORD* sectors, DWORD* bytes, DWORD* free, DWORD* total) {
        *sectors = 8;
        *bytes = 512;
        *free = *total = 1000000;
        return TRUE;
    };
    // Each package comes with its signed manifest beside it, as <package>.manifest.
    environment.download = [&](const std::wstring& folder, IInstallListener*, const std::atomic<bool>*, bool,
                               const DownloadTarget& request) {
        const std::wstring& source = packages[std::min<size_t>(downloads, packages.size() - 1)];
        const bool manifest = request.fileName != L"Quillon.zip";
        downloads += manifest ? 0 : 1;
        const std::wstring target = folder + request.fileName;
        CopyFileW((manifest ? source + L".manifest" : source).c_str(), target.c_str(), FALSE);
        return target;
    };
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const bool ok = InstallBackend::Install(destination, temp, nullptr, nullptr, environment);
    printf("install %s downloads=%d\n", ok ? "ok" : "failed", downloads);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fprintf(stderr, "zip_probe: command and arguments expected\n");
        return 2;
    }
    const std::wstring command = argv[1];
    if (command == L"open-in" && argc == 4) {
        // The current directory set here, not by launch.exe: Wine cannot
        // start a process in a folder deeper than the path buffer.
        const BOOL moved = SetCurrentDirectoryW(argv[2]);
        wchar_t current[1024] = {};
        const DWORD length = GetCurrentDirectoryW(1024, current);
        Archive archive(argv[3]);
        printf("open-in %s cwd=%lu %s\n", moved ? "moved" : "stayed", static_cast<unsigned long>(length),
               archive.get() != nullptr ? "ok" : "null");
    } else if (command == L"open") {
        Archive archive(argv[2]);
        printf("open %s\n", archive.get() != nullptr ? "ok" : "null");
    } else if (command == L"list" || command == L"extract") {
        Archive archive(argv[2]);
        if (archive.get() == nullptr) {
            printf("open null\n");
            return 0;
        }
        const int count = Count(archive.get());
        printf("count %d\n", count);
        // What staging the members takes with 4 KiB clusters; the walk it
        // makes must not disturb the requests that follow.
        unsigned long long staging = 0;
        const ZipStatus counted = GetZipStagingBytes(archive.get(), 4096, reinterpret_cast<uint64_t*>(&staging));
        printf("staging %#x %llu\n", static_cast<unsigned>(counted), staging);
        for (int i = 0; i < count; ++i) {
            ZipItem item{};
            const ZipStatus status = GetZipItem(archive.get(), i, &item);
            PrintItem(i, status, item);
            if (command == L"extract" && status == ZipOk) {
                const ZipStatus unzipped = UnzipItem(archive.get(), i, item.name);
                printf("unzip %d %#x\n", i, static_cast<unsigned>(unzipped));
                if (unzipped != ZipOk) {
                    printf("why %d %s\n", i, ZipFailureText(GetZipFailure(archive.get()).cause));
                }
            }
        }
    } else if (command == L"unzip" && argc == 5) {
        Archive archive(argv[2]);
        if (archive.get() == nullptr) {
            printf("open null\n");
            return 0;
        }
        const std::wstring name = FromHex(argv[4]);
        printf("unzip %ls %#x\n", argv[3],
               static_cast<unsigned>(UnzipItem(archive.get(), _wtoi(argv[3]), name.c_str())));
    } else if (command == L"stat") {
        for (int i = 2; i < argc; ++i) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (!GetFileAttributesExW(argv[i], GetFileExInfoStandard, &data)) {
                printf("stat missing\n");
                continue;
            }
            printf("stat %#lx %llu %llu %llu\n", static_cast<unsigned long>(data.dwFileAttributes),
                   Ticks(data.ftLastAccessTime), Ticks(data.ftCreationTime), Ticks(data.ftLastWriteTime));
        }
    } else if (command == L"trace") {
        Archive archive(argv[2]);
        if (archive.get() == nullptr) {
            printf("open null\n");
            return 0;
        }
        TraceObserver observer;
        SetZipIoObserverForTesting(archive.get(), &observer);
        for (int i = 3; i < argc; ++i) {
            const int index = _wtoi(argv[i]);
            ZipItem item{};
            const ZipStatus status = GetZipItem(archive.get(), index, &item);
            printf("trace %d %#x %s\n", index, static_cast<unsigned>(status), observer.Take().c_str());
        }
    } else if (command == L"install" && argc >= 4) {
        return Install(argc, argv);
    } else if (command == L"stage" && argc >= 5) {
        return Stage(argc, argv);
    } else if (command == L"recover") {
        printf("recover %s\n", RecoverZipJournal(argv[2]) ? "settled" : "kept");
    } else {
        fprintf(stderr, "zip_probe: unknown command\n");
        return 2;
    }
    fflush(stdout);
    return 0;
}
