// Shows what drive discovery sees, one line per drive, as UTF-8:
//   drive_probe drives              LETTER TAB instance identifier
//   drive_probe labels LETTER...    LETTER TAB volume label
//   drive_probe tree FOLDER         path TAB attributes (hex) TAB last write
//                                   time (100 ns since 1601, UTC) TAB size,
//                                   for everything below FOLDER, as Windows
//                                   reports it
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "UsbDrives.h"

namespace {

void PrintText(const std::wstring& line)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &bytes[0], size,
                        nullptr, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void PrintLine(wchar_t letter, const std::wstring& text)
{
    PrintText(std::wstring(1, letter) + L"\t" + text + L"\n");
}

bool PrintTree(const std::wstring& folder, const std::wstring& relative)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    bool ok = true;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        const unsigned long long written =
            (static_cast<unsigned long long>(found.ftLastWriteTime.dwHighDateTime) << 32) |
            found.ftLastWriteTime.dwLowDateTime;
        const unsigned long long size =
            (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        wchar_t fields[96];
        swprintf(fields, 96, L"\t%lx\t%llu\t%llu\n", static_cast<unsigned long>(found.dwFileAttributes),
                 written, size);
        PrintText(path + fields);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            ok = PrintTree(folder + L"\\" + name, path) && ok;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: drive_probe drives | labels LETTER...\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) ||
        FAILED(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr))) {
        fprintf(stderr, "drive_probe: COM set-up failed\n");
        return 3;
    }
    const std::wstring command = argv[1];
    int status = 0;
    if (command == L"drives") {
        for (const auto& drive : GetUsbDrives()) {
            PrintLine(drive.first, drive.second);
        }
    } else if (command == L"labels") {
        for (int i = 2; i < argc; ++i) {
            PrintLine(argv[i][0], GetDriveLabel(argv[i][0]));
        }
    } else if (command == L"tree" && argc == 3) {
        std::wstring folder = argv[2];
        while (!folder.empty() && folder.back() == L'\\') {
            folder.pop_back();
        }
        status = PrintTree(folder, L"") ? 0 : 1;
    } else {
        fprintf(stderr, "drive_probe: unknown command\n");
        status = 2;
    }
    fflush(stdout);
    CoUninitialize();
    return status;
}
