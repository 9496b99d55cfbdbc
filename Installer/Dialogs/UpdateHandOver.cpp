#include "UpdateHandOver.h"

#include <windows.h>

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
                known = known || asked == program;
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

HandOverMoment UpdateHandOver::Moment(bool completed, bool dialogEnding)
{
    HandOverMoment moment;
    moment.updateMode = m_updateMode;
    moment.completed = completed;
    moment.notified = m_notified;
    moment.commitUnderway = m_commitUnderway;
    moment.dialogEnding = dialogEnding;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        moment.askedToQuit = !m_askedToQuit.empty();
    }
    // Looked for only when it matters: a process snapshot is not free.
    if (moment.askedToQuit && !moment.completed) {
        moment.copyStillRunning = !FindProductCopies(m_driveLetter).empty();
    }
    return moment;
}

void UpdateHandOver::RunEnded(bool completed, bool dialogEnding)
{
    switch (ChooseProgramStart(Moment(completed, dialogEnding))) {
    case ProgramStart::Notified: {
        m_notified = true;
        StartedByUser();
        LaunchProduct(true, m_exePathToUpdate, m_driveLetter);
        break;
    }
    case ProgramStart::Again: {
        std::vector<std::wstring> programs;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            programs.swap(m_askedToQuit);
        }
        StartAgain(programs, completed);
        break;
    }
    case ProgramStart::None:
        break;
    }
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
