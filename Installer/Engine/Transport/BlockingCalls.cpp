#include "BlockingCalls.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>

namespace {
// How long a cancel may go unnoticed while a call blocks.
constexpr std::chrono::milliseconds kSlice(50);
}  // namespace

// What the caller and the helper share; it outlives whichever lets go last,
// so a call left behind writes its results into memory that still exists.
struct BlockingCalls::Shared {
    std::mutex lock;
    std::condition_variable changed;
    std::function<BOOL(DWORD*)> call;
    bool waiting = false;  // a call was handed over and has not been run yet
    bool done = false;     // the call handed over has returned
    bool quit = false;
    BOOL result = FALSE;
    DWORD value = 0;
    DWORD error = ERROR_SUCCESS;
};

BlockingCalls::BlockingCalls(const std::atomic<bool>* cancel) : m_cancel(cancel)
{
    if (cancel == nullptr) {
        return;
    }
    m_shared = std::make_shared<Shared>();
    try {
        m_helper = std::thread(&BlockingCalls::Serve, m_shared);
    } catch (const std::system_error&) {
        // No helper: the calls run here and cannot be left behind.
        m_shared.reset();
    }
}

BlockingCalls::~BlockingCalls()
{
    if (!m_shared) {
        return;
    }
    {
        const std::lock_guard<std::mutex> hold(m_shared->lock);
        m_shared->quit = true;
    }
    m_shared->changed.notify_all();
    if (m_leftBehind) {
        m_helper.detach();
    } else {
        m_helper.join();
    }
}

void BlockingCalls::Serve(std::shared_ptr<Shared> shared)
{
    std::unique_lock<std::mutex> hold(shared->lock);
    for (;;) {
        shared->changed.wait(hold, [&] { return shared->quit || shared->waiting; });
        if (shared->quit) {
            return;  // a call handed over but not begun is not begun after a cancel
        }
        shared->waiting = false;
        DWORD value = 0;
        BOOL result = FALSE;
        DWORD error = ERROR_NOT_ENOUGH_MEMORY;
        // Nothing may leave the helper: an exception here would end the
        // process. A call that could not be made fails as out of memory.
        try {
            const std::function<BOOL(DWORD*)> call = shared->call;
            hold.unlock();
            result = call(&value);
            error = ::GetLastError();
        } catch (...) {
        }
        if (!hold.owns_lock()) {
            hold.lock();
        }
        shared->result = result;
        shared->value = value;
        shared->error = error;
        shared->done = true;
        shared->changed.notify_all();
    }
}

bool BlockingCalls::Run(std::function<BOOL(DWORD* value)> call, BOOL* result, DWORD* value)
{
    if (!m_shared) {
        DWORD got = 0;
        *result = call(&got);
        *value = got;
        return true;
    }
    if (m_leftBehind) {
        return false;
    }
    DWORD error = ERROR_SUCCESS;
    {
        std::unique_lock<std::mutex> hold(m_shared->lock);
        m_shared->call = std::move(call);
        m_shared->done = false;
        m_shared->waiting = true;
        m_shared->changed.notify_all();
        while (!m_shared->done) {
            if (m_cancel->load()) {
                m_leftBehind = true;
                return false;
            }
            m_shared->changed.wait_for(hold, kSlice);
        }
        *result = m_shared->result;
        *value = m_shared->value;
        error = m_shared->error;
    }
    ::SetLastError(error);
    return true;
}
