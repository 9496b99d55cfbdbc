#include "FileSink.h"

#include <windows.h>

#include "MessageError.h"
#include "easylogging++.h"

FileSink::FileSink(const std::wstring& path)
    // _wfopen underneath: no sharing restrictions.
    : m_file(path.c_str(), std::ios::out | std::ios::binary | std::ios::trunc)
{
    if (!m_file.is_open()) {
        throw MessageError("Failed to create a temp file");
    }
}

void FileSink::Write(uint64_t offset, const void* bytes, uint32_t count)
{
    m_file.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(count));
    if (!m_file) {
        LOG(ERROR) << "Writing the package file failed at byte " << offset;
        throw MessageError("Failed to write the package file", ERROR_WRITE_FAULT);
    }
}

void FileSink::Close(bool cancelled)
{
    m_file.close();
    if (m_file.fail() && !cancelled) {
        LOG(ERROR) << "Writing the package file failed at its end";
        throw MessageError("Failed to write the package file", ERROR_WRITE_FAULT);
    }
}
