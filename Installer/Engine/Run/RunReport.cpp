#include "RunReport.h"

#include <cstdio>

#include "easylogging++.h"

namespace InstallBackend {

void LogCaught(const char* text, DWORD lastError)
{
    LOG(ERROR) << text << " Last error: " << static_cast<unsigned long>(lastError);
}

RunReport::~RunReport()
{
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%.1f",
                  static_cast<double>(GetTickCount64() - m_start) / 1000.0);
    // Of a package that is partly on the drive already, the run fetches
    // only part: how much, against the whole, is the figure that counts
    // on a metered network.
    const std::string ofPackage =
        m_packageSize ? ", for a package of " + std::to_string(*m_packageSize) + " bytes" : std::string();
    const char* const run = m_update ? "Update" : "Install";
    if (m_outcome == Outcome::Failed) {
        LOG(ERROR) << run << " failed: " << m_reason << "; " << m_bytes
                   << " bytes downloaded in " << seconds << " s" << ofPackage;
    } else {
        LOG(INFO) << run << " " << (m_outcome == Outcome::Succeeded ? "succeeded" : "cancelled")
                  << ": " << m_reason << "; " << m_bytes << " bytes downloaded in " << seconds
                  << " s" << ofPackage;
    }
}

}  // namespace InstallBackend
