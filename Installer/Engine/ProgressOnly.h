#pragma once

#include "IInstallListener.h"

// A run says it is downloading once an attempt, before its first request;
// the requests themselves move the bar only. Each report of the status makes
// the dialog ask the running program to close again.
class ProgressOnly : public IInstallListener {
public:
    explicit ProgressOnly(IInstallListener* next) : m_next(next) {}
    void OnStatus(int) override {}
    void OnProgress(float fraction) override { m_next->OnProgress(fraction); }
    int GetErrorReason() override { return m_next->GetErrorReason(); }
    void SetErrorReason(int reason) override { m_next->SetErrorReason(reason); }

    // Null for a null listener: nobody watches.
    static IInstallListener* Of(IInstallListener* next, ProgressOnly& holder)
    {
        return next != nullptr ? &holder : nullptr;
    }

private:
    IInstallListener* m_next;
};
