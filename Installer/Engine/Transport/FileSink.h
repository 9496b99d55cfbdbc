#pragma once

#include <cstdint>
#include <fstream>
#include <string>

#include "Download.h"

// The download's own file, written from its start as the bytes come in.
class FileSink : public IRangeSink {
public:
    explicit FileSink(const std::wstring& path);
    void Write(uint64_t offset, const void* bytes, uint32_t count) override;
    void Close(bool cancelled);

private:
    std::ofstream m_file;
};
