#pragma once

// minizip reads each field of a header on its own, one to four bytes at a
// time: well over a hundred reads per member, each a system call under Wine,
// where together they cost about as much as inflating the data. The archive
// is therefore read through two small windows, one that follows the walk
// through the central directory and one that follows the members' local
// headers; a read as large as a window goes straight to the file. minizip's
// position is kept here, and the file is moved only when a read needs it.

#include <cstdint>

#include "ioapi.h"

namespace ZipLayer {

class WindowedFile {
public:
    static constexpr uLong kWindowSize = 4096;

    // Reads go through `platform`'s functions on `stream` from now on.
    void Attach(const zlib_filefunc64_def* platform, voidpf stream);

    ZPOS64_T Tell() const { return m_position; }
    long Seek(ZPOS64_T offset, int origin);
    uLong Read(void* buffer, uLong size);

private:
    static constexpr ZPOS64_T kUnknown = ~static_cast<ZPOS64_T>(0);

    struct Window {
        ZPOS64_T start = 0;
        uLong length = 0;
        unsigned lastUse = 0;
        uint8_t bytes[kWindowSize];
    };

    Window* Find(ZPOS64_T position);
    Window* Refill(ZPOS64_T position);
    uLong ReadAt(ZPOS64_T position, void* buffer, uLong size);

    const zlib_filefunc64_def* m_platform = nullptr;
    voidpf m_stream = nullptr;
    ZPOS64_T m_position = 0;
    ZPOS64_T m_filePosition = kUnknown;
    unsigned m_clock = 0;
    Window m_windows[2];
};

}  // namespace ZipLayer
