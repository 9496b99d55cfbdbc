// The plainest WinHTTP download we can write, the same-platform anchor that
// scripts/bench-download.py sets the installer's Download against: same
// Wine, same server, same request, but large reads straight into the file
// and nothing else.
//
//   winhttp_fetch PORT FILE whole|ranges ROUNDS
//
// "whole" fetches the package with one request on one session. "ranges"
// does what the installer must: a length request whose body is not read,
// then 4 MiB ranges, each on a session, connection and request of its own.
// Prints "round N ms M cpu_ms C" per round (wall and process CPU time), then
// "peak_working_set_bytes B".
#include <windows.h>
#include <psapi.h>
#include <winhttp.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "CpuTime.h"
#include "Download.h"
#include "ScopedHandles.h"

namespace {

struct InternetHandleTraits {
    using Value = HINTERNET;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value value) { return value != nullptr; }
    static void Close(Value value) { ::WinHttpCloseHandle(value); }
};
using ScopedInternet = NCommon::ScopedResource<InternetHandleTraits>;

constexpr DWORD kReadSize = 1 << 20;

struct Failure {
    const char* call;
    DWORD error;
};

[[noreturn]] void Fail(const char* call)
{
    throw Failure{call, GetLastError()};
}

// One session, connection and request; the caller sends it.
struct Request {
    ScopedInternet session;
    ScopedInternet connection;
    ScopedInternet request;

    explicit Request(uint16_t port)
        : session(WinHttpOpen(L"anchor", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0))
    {
        if (!session) {
            Fail("WinHttpOpen");
        }
        connection.reset(WinHttpConnect(session.get(), L"localhost", port, 0));
        if (!connection) {
            Fail("WinHttpConnect");
        }
        request.reset(WinHttpOpenRequest(connection.get(), L"GET", DownloadConstants::kPath, nullptr,
                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                         DownloadConstants::kRequestFlags));
        if (!request) {
            Fail("WinHttpOpenRequest");
        }
    }

    void Send(const std::wstring& header)
    {
        if (!header.empty() &&
            !WinHttpAddRequestHeaders(request.get(), header.c_str(), static_cast<DWORD>(header.size()),
                                      WINHTTP_ADDREQ_FLAG_ADD)) {
            Fail("WinHttpAddRequestHeaders");
        }
        if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                                0, 0, 0)) {
            Fail("WinHttpSendRequest");
        }
        if (!WinHttpReceiveResponse(request.get(), nullptr)) {
            Fail("WinHttpReceiveResponse");
        }
    }

    void CopyBody(HANDLE file, std::vector<char>& buffer)
    {
        for (;;) {
            DWORD got = 0;
            if (!WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
                Fail("WinHttpReadData");
            }
            if (got == 0) {
                return;
            }
            DWORD written = 0;
            if (!WriteFile(file, buffer.data(), got, &written, nullptr) || written != got) {
                Fail("WriteFile");
            }
        }
    }
};

void FetchWhole(uint16_t port, HANDLE file, std::vector<char>& buffer)
{
    Request request(port);
    request.Send(std::wstring());
    request.CopyBody(file, buffer);
}

void FetchRanges(uint16_t port, HANDLE file, std::vector<char>& buffer)
{
    DWORD length = 0;
    {
        Request request(port);
        request.Send(std::wstring());
        DWORD size = sizeof(length);
        if (!WinHttpQueryHeaders(request.request.get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX)) {
            Fail("WinHttpQueryHeaders");
        }
    }
    for (DWORD offset = 0; offset < length; offset += DownloadConstants::kRangeSize) {
        const DWORD last = length - offset > DownloadConstants::kRangeSize
                               ? offset + DownloadConstants::kRangeSize - 1
                               : length - 1;
        Request request(port);
        request.Send(L"Range: bytes=" + std::to_wstring(offset) + L"-" + std::to_wstring(last));
        request.CopyBody(file, buffer);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc == 5 ? argv[3] : L"";
    if (mode != L"whole" && mode != L"ranges") {
        fwprintf(stderr, L"usage: winhttp_fetch PORT FILE whole|ranges ROUNDS\n");
        return 2;
    }
    const uint16_t port = static_cast<uint16_t>(std::stoul(argv[1]));
    const int rounds = std::stoi(argv[4]);
    std::vector<char> buffer(kReadSize);

    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = ProcessCpuMs();
        try {
            NCommon::ScopedHandle file(
                CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file) {
                Fail("CreateFileW");
            }
            if (mode == L"whole") {
                FetchWhole(port, file.get(), buffer);
            } else {
                FetchRanges(port, file.get(), buffer);
            }
        } catch (const Failure& failure) {
            fprintf(stderr, "%s failed: %lu\n", failure.call, static_cast<unsigned long>(failure.error));
            return 1;
        }
        const auto elapsed =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        printf("round %d ms %.1f cpu_ms %.1f\n", round, elapsed, ProcessCpuMs() - cpuStart);
        fflush(stdout);
    }

    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        printf("peak_working_set_bytes %llu\n", static_cast<unsigned long long>(counters.PeakWorkingSetSize));
    }
    return 0;
}
