#pragma once

#include "InstallFailure.h"

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

    // The slots below were added after the four above and have bodies, so
    // a listener that wants none of them need not change.

    // Once per failed or cancelled run, on the worker, before StatusFailed:
    // what failed, chosen where it failed.
    virtual void OnFailure(const InstallFailure& failure) { (void)failure; }
    // On the worker, once every byte is in and verified and the room on the
    // stick is checked, just before the first change to the stick. May
    // block (bounded) while the caller makes way, for instance for a
    // running copy of the program to quit. False holds the commit: the run
    // ends with FailureKind::CommitHeld and the stick as it was.
    virtual bool OnReadyToCommit() { return true; }
    // Read at the points where the cancel flag is read: true once the caller
    // knows that the target stick went (a device-change message). The run
    // stops as for a cancel, and fails as DriveMissing.
    virtual bool DriveRemoved() { return false; }
};
