#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

// Runs blocking platform calls so that a cancel can stop waiting for them.
//
// A WinHTTP call waits for the server for up to its receive time-out, and
// closing the request's handle from another thread does not break that wait
// under Wine. With a cancel flag, each call therefore runs on a helper
// thread while the caller waits in short slices and looks at the flag in
// between. A call still running when the flag is set is left behind: it ends
// on its own later (or with the process), together with the helper, and the
// caller must then leave the handles it uses open (LeftBehind()).
//
// Without a cancel flag the calls run on the caller's thread, as plain calls.
class BlockingCalls {
public:
    // `cancel` may be null: nothing can stop a call then.
    explicit BlockingCalls(const std::atomic<bool>* cancel);
    ~BlockingCalls();
    BlockingCalls(const BlockingCalls&) = delete;
    BlockingCalls& operator=(const BlockingCalls&) = delete;

    // Runs `call`, which may hand back one number through its argument.
    // True with its result, the number and its last error (as the thread's
    // last error); false when the cancel flag was set before it returned.
    bool Run(std::function<BOOL(DWORD* value)> call, BOOL* result, DWORD* value);

    bool LeftBehind() const { return m_leftBehind; }

private:
    struct Shared;
    static void Serve(std::shared_ptr<Shared> shared);

    const std::atomic<bool>* m_cancel;
    std::shared_ptr<Shared> m_shared;
    std::thread m_helper;
    bool m_leftBehind = false;
};
