// Shows what drive discovery sees, one line per drive, as UTF-8:
//   drive_probe drives              LETTER TAB instance identifier
//   drive_probe labels LETTER...    LETTER TAB volume label
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "UsbDrives.h"

namespace {

void PrintLine(wchar_t letter, const std::wstring& text)
{
    const std::wstring line = std::wstring(1, letter) + L"\t" + text + L"\n";
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &bytes[0], size,
                        nullptr, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
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
    } else {
        fprintf(stderr, "drive_probe: unknown command\n");
        status = 2;
    }
    fflush(stdout);
    CoUninitialize();
    return status;
}
