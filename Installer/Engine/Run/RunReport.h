#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace InstallBackend {

// Every error that reaches a step boundary is logged once more with the
// last error of the failure: a message error brings the number it was
// raised with, since the way out (handles closed, files flushed) may have
// changed the thread's own; any other error has only the thread's.
void LogCaught(const char* text, DWORD lastError);

// The run's last line: how it ended, why, how much came over the network
// and how long it took, so that a support desk reads the story of a run
// without a debugger. Written on every way out of Install.
class RunReport {
public:
    // An update says so in its last line: "Update succeeded", not "Install ...".
    explicit RunReport(bool update) : m_start(GetTickCount64()), m_update(update) {}
    ~RunReport();
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    void Downloaded(uint64_t bytes) { m_bytes += bytes; }
    void PackageSize(uint64_t bytes) { m_packageSize = bytes; }
    void Succeeded() { End(Outcome::Succeeded, "every entry extracted"); }
    void Cancelled() { End(Outcome::Cancelled, "cancelled by the user"); }
    // `reason`: the cause in words.
    void Failed(const std::string& reason) { End(Outcome::Failed, reason); }

private:
    enum class Outcome { Failed, Succeeded, Cancelled };
    void End(Outcome outcome, std::string reason)
    {
        m_outcome = outcome;
        m_reason = std::move(reason);
    }

    ULONGLONG m_start;
    bool m_update;
    Outcome m_outcome = Outcome::Failed;
    std::string m_reason = "stopped before the end";
    uint64_t m_bytes = 0;
    std::optional<uint64_t> m_packageSize;
};

}  // namespace InstallBackend
