#include "UpdateHandOver.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "ProductHandOver.h"
#include "ProductPaths.h"
#include "TextConversion.h"
#include "easylogging++.h"

namespace {

std::string ListOf(const std::vector<std::wstring>& programs)
{
    std::string list;
    for (const std::wstring& program : programs) {
        list += (list.empty() ? "" : ", ") + ToUtf8(program);
    }
    return list;
}

std::string Seconds(ULONGLONG milliseconds)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", static_cast<double>(milliseconds) / 1000.0);
    return text;
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

ProgramStart ChooseProgramStart(const HandOverMoment& moment)
{
    if (moment.completed && moment.updateMode) {
        return moment.notified ? ProgramStart::None : ProgramStart::Notified;
    }
    if (!moment.askedToQuit || moment.copyStillRunning || moment.commitUnderway) {
        return ProgramStart::None;
    }
    return !moment.completed || moment.dialogEnding ? ProgramStart::Again : ProgramStart::None;
}

void UpdateHandOver::SetUpdate(wchar_t driveLetter, const std::wstring& exePath)
{
    m_driveLetter = driveLetter;
    m_updateMode = true;
    m_exePathToUpdate = exePath;
}

bool UpdateHandOver::MakeWay(const std::atomic<bool>& cancel, const std::function<void()>& waiting)
{
    if (cancel) {
        return false;
    }
    const std::vector<ProductCopy> copies = FindProductCopies(m_driveLetter);
    if (copies.empty()) {
        m_commitUnderway = true;
        return true;
    }
    std::vector<std::wstring> programs;
    for (const ProductCopy& copy : copies) {
        programs.push_back(copy.imagePath);
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (const std::wstring& program : programs) {
            bool known = false;
            for (const std::wstring& asked : m_askedToQuit) {
                known = known || SamePath(asked, program);
            }
            if (!known) {
                m_askedToQuit.push_back(program);
            }
        }
    }
    const std::string root = ToUtf8(DriveRootOf(m_driveLetter));
    LOG(INFO) << "Asking Quillon to quit before the files on " << root << " are replaced: " << ListOf(programs);
    waiting();
    const ULONGLONG start = GetTickCount64();
    const bool ended = AskProductCopiesToQuit(copies, kProductQuitTimeoutMs, [&cancel] { return cancel.load(); });
    const std::string waited = Seconds(GetTickCount64() - start);
    if (ended) {
        LOG(INFO) << "Quillon has quit after " << waited << " s";
        m_commitUnderway = true;
        return true;
    }
    if (cancel) {
        LOG(INFO) << "Stopped waiting for Quillon to quit after " << waited << " s: cancelled by the user";
        return false;
    }
    std::vector<std::wstring> running;
    for (const ProductCopy& copy : copies) {
        if (WaitForSingleObject(copy.process.get(), 0) != WAIT_OBJECT_0) {
            running.push_back(copy.imagePath);
        }
    }
    LOG(ERROR) << "Quillon is still running from " << root << " after " << waited << " s (" << ListOf(running)
               << "): nothing was replaced";
    return false;
}

void UpdateHandOver::RunReturned()
{
    m_commitUnderway = false;
}

HandOverMoment UpdateHandOver::Moment(bool completed, bool dialogEnding) const
{
    HandOverMoment moment;
    moment.updateMode = m_updateMode;
    moment.completed = completed;
    moment.notified = m_notified;
    moment.commitUnderway = m_commitUnderway;
    moment.dialogEnding = dialogEnding;
    return moment;
}

void UpdateHandOver::RunEnded(bool completed, bool dialogEnding)
{
    HandOverMoment moment = Moment(completed, dialogEnding);
    std::vector<std::wstring> asked;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        asked = m_askedToQuit;
    }
    if (ChooseProgramStart(moment) == ProgramStart::Notified) {
        m_notified = true;
        StartedByUser();
        LaunchProduct(true, m_exePathToUpdate, m_driveLetter);
        return;
    }
    if (asked.empty()) {
        return;
    }
    // Each program that was asked to quit, unless a copy of it runs (one
    // that did not quit, or one the user started meanwhile).
    moment.askedToQuit = true;
    const std::vector<ProductCopy> running = FindProductCopies(m_driveLetter);
    std::vector<std::wstring> again;
    for (const std::wstring& program : asked) {
        moment.copyStillRunning = false;
        for (const ProductCopy& copy : running) {
            moment.copyStillRunning = moment.copyStillRunning || SamePath(copy.imagePath, program);
        }
        if (ChooseProgramStart(moment) == ProgramStart::Again) {
            again.push_back(program);
        }
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (const std::wstring& program : again) {
            m_askedToQuit.erase(std::remove(m_askedToQuit.begin(), m_askedToQuit.end(), program),
                                m_askedToQuit.end());
        }
    }
    StartAgain(again, completed);
}

void UpdateHandOver::StartedByUser()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_askedToQuit.clear();
}

void UpdateHandOver::StartAgain(const std::vector<std::wstring>& programs, bool completed)
{
    const char* run = m_updateMode ? "update" : "install";
    const std::string why = completed ? std::string(" after the ") + run : std::string(", as the ") + run + " did not complete";
    for (const std::wstring& program : programs) {
        unsigned long error = 0;
        if (StartProduct(ChooseRestartLaunch(program, m_driveLetter), &error)) {
            LOG(INFO) << "Started Quillon again" << why << ": " << ToUtf8(program);
        } else {
            LOG(ERROR) << "Quillon could not be started again after the " << run << ": " << ToUtf8(program)
                       << ", error " << error;
        }
    }
}
