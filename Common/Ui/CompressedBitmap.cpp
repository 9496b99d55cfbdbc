#include "CompressedBitmap.h"

#include <zlib.h>

#include <cstring>

namespace NCommon {
namespace {
// Larger than any image of ours at 2x (556 x 900 pixels, 2 MB), and small
// enough that a damaged length cannot ask for much.
const size_t kLargestDib = 8192u * 8192u * 4u + 1024u;
const int kLargestSide = 8192;

unsigned ReadLittleEndian32(const unsigned char* bytes)
{
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<unsigned>(bytes[3]) << 24);
}
}  // namespace

std::optional<std::vector<unsigned char>> InflateDib(const void* data, size_t size)
{
    if (data == nullptr || size < 4) {
        return std::nullopt;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    const size_t length = ReadLittleEndian32(bytes);
    if (length < sizeof(BITMAPINFOHEADER) || length > kLargestDib) {
        return std::nullopt;
    }
    std::vector<unsigned char> dib(length);
    uLongf inflated = static_cast<uLongf>(length);
    if (::uncompress(dib.data(), &inflated, bytes + 4, static_cast<uLong>(size - 4)) != Z_OK || inflated != length) {
        return std::nullopt;
    }
    BITMAPINFOHEADER header = {};
    std::memcpy(&header, dib.data(), sizeof(header));
    const long long width = header.biWidth;
    const long long height = header.biHeight < 0 ? -static_cast<long long>(header.biHeight) : header.biHeight;
    if (header.biSize < sizeof(header) || header.biSize > length || header.biPlanes != 1 || header.biBitCount != 32 ||
        header.biCompression != BI_RGB || width < 1 || width > kLargestSide || height < 1 || height > kLargestSide ||
        length - header.biSize != static_cast<size_t>(width * height * 4)) {
        return std::nullopt;
    }
    return dib;
}

HBITMAP LoadCompressedBitmap(HINSTANCE module, UINT id)
{
    HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(id), L"ZDIB");
    HGLOBAL loaded = found != nullptr ? ::LoadResource(module, found) : nullptr;
    const void* bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    const std::optional<std::vector<unsigned char>> dib = InflateDib(bytes, found ? ::SizeofResource(module, found) : 0);
    if (!dib) {
        return nullptr;
    }
    BITMAPINFO info = {};
    std::memcpy(&info.bmiHeader, dib->data(), sizeof(info.bmiHeader));
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    void* pixels = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    if (bitmap == nullptr || pixels == nullptr) {
        if (bitmap != nullptr) {
            ::DeleteObject(bitmap);
        }
        return nullptr;
    }
    const size_t headerSize = reinterpret_cast<const BITMAPINFOHEADER*>(dib->data())->biSize;
    std::memcpy(pixels, dib->data() + headerSize, dib->size() - headerSize);
    return bitmap;
}

}  // namespace NCommon
