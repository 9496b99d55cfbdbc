// Stands in for a real-time virus scanner: waits for a temporary twin
// ("~ql*.tmp") to appear in a folder, opens it without sharing the moment
// its writer lets go of it, and holds it for a while.
//
//   hold_staged <folder> <milliseconds> <marker>
//
// Once it holds the file it creates <marker> and prints "held <name>"; when
// it lets go it prints "released". Gives up after 60 s without a file.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4) {
        fprintf(stderr, "hold_staged: folder, milliseconds and marker expected\n");
        return 2;
    }
    const std::wstring folder = argv[1];
    const DWORD hold = wcstoul(argv[2], nullptr, 10);
    const std::wstring pattern = folder + L"\\~ql*.tmp";
    for (int waited = 0; waited < 60000; waited += 2) {
        WIN32_FIND_DATAW found{};
        const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            FindClose(search);
            const std::wstring path = folder + L"\\" + found.cFileName;
            const HANDLE held =
                CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (held != INVALID_HANDLE_VALUE) {
                CloseHandle(CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
                printf("held %ls\n", found.cFileName);
                fflush(stdout);
                Sleep(hold);
                CloseHandle(held);
                printf("released\n");
                return 0;
            }
        }
        Sleep(2);
    }
    printf("nothing to hold\n");
    return 1;
}
