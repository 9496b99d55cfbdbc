#pragma once

// What the install engine tells its caller. The engine never owns a listener,
// so the interface deliberately has no virtual destructor: the slot order
// below is the whole contract.
class IInstallListener {
public:
    enum Status {
        StatusDownloading = 0,
        StatusInstalling = 1,
        StatusSucceeded = 2,
        StatusFailed = 3,
    };

    enum Reason {
        ReasonNone = 0,
        ReasonLowFreeSpace = 0x400,
        ReasonDriveMissing = 0x800,
    };

    virtual void OnStatus(int status) = 0;
    virtual void OnProgress(float fraction) = 0;
    virtual int GetErrorReason() = 0;
    virtual void SetErrorReason(int reason) = 0;
};
