#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// The progress dialog's side of the hand-over with the installed program:
// the copies that run from the target stick are asked to quit only when the
// run is ready to commit, and whatever was asked to quit runs again when the
// run ends, whichever way it ends.

// What the end of a run, or of the dialog, does with the installed program.
enum class ProgramStart {
    None,
    // The copies that were asked to quit, as they ran.
    Again,
    // The update's program, told of the update with "/NotifyUpdate".
    Notified,
};

struct HandOverMoment {
    bool updateMode = false;
    // The run committed the new files.
    bool completed = false;
    // The program was asked to quit and has not been started since.
    bool askedToQuit = false;
    // The update's program has been started with "/NotifyUpdate" already.
    bool notified = false;
    // A copy of this program still runs (one that did not quit, or one the
    // user started meanwhile): starting another would make two.
    bool copyStillRunning = false;
    // The copies quit and the commit is under way, its end not yet known.
    bool commitUnderway = false;
    // The dialog is going: nothing can be started later.
    bool dialogEnding = false;
};

// After an install that completed, the user may still press Run Quillon:
// the copies are started again only when the dialog goes without it.
ProgramStart ChooseProgramStart(const HandOverMoment& moment);

class UpdateHandOver {
public:
    explicit UpdateHandOver(wchar_t driveLetter) : m_driveLetter(driveLetter) {}

    // Before the run, in update mode only: exePath is the program started
    // with "/NotifyUpdate" once the update has committed.
    void SetUpdate(wchar_t driveLetter, const std::wstring& exePath);

    // On the worker, when the run is ready to commit. Asks the copies on the
    // stick to quit and waits for them, bounded; `waiting` is called first
    // when there are any. True when none runs any more; false when one still
    // runs after the bound or `cancel` was set: nothing may be replaced.
    bool MakeWay(const std::atomic<bool>& cancel, const std::function<void()>& waiting);

    // On the worker, once the run has returned: a commit let through has
    // ended, one way or the other.
    void RunReturned();

    // On the dialog's thread, at each point where the run or the dialog may
    // have ended: the worker returned (completed or not), the window goes
    // (dialogEnding). Starts what ChooseProgramStart says, once.
    void RunEnded(bool completed, bool dialogEnding);

    // Run Quillon (or the update's end) started the program: nothing is to
    // be started again.
    void StartedByUser();

private:
    HandOverMoment Moment(bool completed, bool dialogEnding) const;
    void StartAgain(const std::vector<std::wstring>& programs, bool completed);

    wchar_t m_driveLetter;
    bool m_updateMode = false;
    std::wstring m_exePathToUpdate;
    bool m_notified = false;
    // Written by the worker, read by the dialog's thread.
    std::mutex m_mutex;
    std::vector<std::wstring> m_askedToQuit;
    std::atomic<bool> m_commitUnderway{false};
};
