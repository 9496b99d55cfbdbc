#pragma once

#include <string>
#include <vector>

namespace InstallBackend {

// The levels of the destination folder that a run creates go again when
// the run fails: a failed install adds no folder to the drive.
class CreatedDestination {
public:
    explicit CreatedDestination(const std::wstring& destination);
    ~CreatedDestination();
    CreatedDestination(const CreatedDestination&) = delete;
    CreatedDestination& operator=(const CreatedDestination&) = delete;
    void Keep() { m_levels.clear(); }

private:
    std::vector<std::wstring> m_levels;
};

}  // namespace InstallBackend
