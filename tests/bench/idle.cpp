// The memory anchor of the benchmarks: a program that does nothing, built
// and started like the installer, so that its peak working set is what
// Wine and the static runtime cost before any code of ours runs.
//
//   idle [MS]   stays MS milliseconds (default 0), so that a sampler
//               outside sees it, then prints "peak_working_set_bytes B".
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc > 1) {
        Sleep(static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)));
    }
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        return 1;
    }
    printf("peak_working_set_bytes %llu\n", static_cast<unsigned long long>(counters.PeakWorkingSetSize));
    return 0;
}
