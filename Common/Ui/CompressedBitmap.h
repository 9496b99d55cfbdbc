#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>
#include <vector>

namespace NCommon {

// Images kept deflated in the program's resources (type "ZDIB"): a bitmap
// resource's DIB (its BITMAPINFOHEADER and pixels) after its length as 4
// little-endian bytes, compressed with zlib. The large images drawn for the
// higher resolutions are kept so; as bitmaps they would more than treble the
// program's size.

// The DIB, inflated and checked: its stated length, no more and no less; a
// header of 40 bytes or more, one plane, 32 bits a pixel, uncompressed
// (BI_RGB), 1 to 8192 pixels each way, and the pixels all there. Nothing
// for anything else.
std::optional<std::vector<unsigned char>> InflateDib(const void* data, size_t size);

// The ZDIB image of that id in the module, as a 32-bit DIB section
// (its alpha kept); null when there is none or it is not a whole image.
HBITMAP LoadCompressedBitmap(HINSTANCE module, UINT id);

}  // namespace NCommon
