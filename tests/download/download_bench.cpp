// Times Download against a server on loopback, for scripts/bench-download.py.
//
//   download_bench.exe PORT FOLDER\ ROUNDS
//
// Prints one line per round, "round N ms M cpu_ms C" (wall and process CPU
// time), then "peak_working_set_bytes B".
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include "CpuTime.h"
#include "Download.h"
#include "MessageError.h"
#include "easylogging++.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4) {
        fwprintf(stderr, L"usage: download_bench PORT FOLDER\\ ROUNDS\n");
        return 2;
    }
    el::Configurations quiet;
    quiet.setToDefault();
    quiet.setGlobally(el::ConfigurationType::ToStandardOutput, "false");
    quiet.setGlobally(el::ConfigurationType::ToFile, "false");
    el::Loggers::reconfigureAllLoggers(quiet);

    DownloadOptions options;
    options.server = L"localhost";
    options.port = static_cast<uint16_t>(std::stoul(argv[1]));
    const std::wstring folder = argv[2];
    const int rounds = std::stoi(argv[3]);
    std::atomic<bool> cancel{false};

    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = ProcessCpuMs();
        try {
            Download(folder, nullptr, &cancel, false, options);
        } catch (const MessageError& error) {
            fprintf(stderr, "download failed: %s\n", error.what());
            return 1;
        }
        const auto elapsed = std::chrono::duration<double, std::milli>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        printf("round %d ms %.1f cpu_ms %.1f\n", round, elapsed, ProcessCpuMs() - cpuStart);
        fflush(stdout);
    }

    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        printf("peak_working_set_bytes %llu\n",
               static_cast<unsigned long long>(counters.PeakWorkingSetSize));
    }
    return 0;
}
