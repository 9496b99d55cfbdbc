#pragma once

// The support desk's line for a file another program held (a real-time
// virus scanner that opened it the moment it was written): one per file,
// with how long the run waited and whether it got the file in the end.

#include "ZipArchive.h"

class ScannerWaitLog : public IZipWaitListener {
public:
    void Waited(const wchar_t* path, DWORD error, DWORD milliseconds, bool succeeded) override;
};
