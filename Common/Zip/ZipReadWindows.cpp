// The two read windows that minizip's many small reads of the archive go
// through; see ZipReadWindows.h for why they exist.

#include "ZipReadWindows.h"

#include <algorithm>
#include <cstring>

namespace ZipLayer {

void WindowedFile::Attach(const zlib_filefunc64_def* platform, voidpf stream)
{
    m_platform = platform;
    m_stream = stream;
    m_position = 0;
    m_filePosition = kUnknown;
    for (Window& window : m_windows) {
        window.length = 0;
    }
}

long WindowedFile::Seek(ZPOS64_T offset, int origin)
{
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        m_position = offset;
        return 0;
    case ZLIB_FILEFUNC_SEEK_CUR:
        m_position += offset;
        return 0;
    case ZLIB_FILEFUNC_SEEK_END:
        if (m_platform->zseek64_file(m_platform->opaque, m_stream, offset, origin) != 0) {
            m_filePosition = kUnknown;
            return -1;
        }
        m_filePosition = m_platform->ztell64_file(m_platform->opaque, m_stream);
        m_position = m_filePosition;
        return 0;
    default:
        return -1;
    }
}

uLong WindowedFile::Read(void* buffer, uLong size)
{
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uLong done = 0;
    while (done < size) {
        Window* window = Find(m_position);
        if (window == nullptr) {
            if (size - done >= kWindowSize) {
                const uLong got = ReadAt(m_position, out + done, size - done);
                m_position += got;
                done += got;
                break;
            }
            window = Refill(m_position);
            if (window == nullptr) {
                break;
            }
        }
        const uLong offset = static_cast<uLong>(m_position - window->start);
        const uLong count = std::min(size - done, window->length - offset);
        std::memcpy(out + done, window->bytes + offset, count);
        m_position += count;
        done += count;
        window->lastUse = ++m_clock;
    }
    return done;
}

WindowedFile::Window* WindowedFile::Find(ZPOS64_T position)
{
    for (Window& window : m_windows) {
        if (window.length > 0 && position >= window.start && position - window.start < window.length) {
            return &window;
        }
    }
    return nullptr;
}

WindowedFile::Window* WindowedFile::Refill(ZPOS64_T position)
{
    Window* oldest = &m_windows[0];
    for (Window& window : m_windows) {
        if (window.lastUse < oldest->lastUse) {
            oldest = &window;
        }
    }
    oldest->start = position;
    oldest->length = ReadAt(position, oldest->bytes, kWindowSize);
    return oldest->length > 0 ? oldest : nullptr;
}

uLong WindowedFile::ReadAt(ZPOS64_T position, void* buffer, uLong size)
{
    if (position != m_filePosition &&
        m_platform->zseek64_file(m_platform->opaque, m_stream, position, ZLIB_FILEFUNC_SEEK_SET) != 0) {
        m_filePosition = kUnknown;
        return 0;
    }
    const uLong got = m_platform->zread_file(m_platform->opaque, m_stream, buffer, size);
    m_filePosition = position + got;
    return got;
}

}  // namespace ZipLayer
