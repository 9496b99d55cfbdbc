// The rules that scale the dialogs to a resolution, and the image sets the
// build draws to the same rules (the program's own images, linked in).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include <zlib.h>

#include "CompressedBitmap.h"
#include "DialogTemplate.h"
#include "DpiScale.h"
#include "GdiHolders.h"
#include "resource.h"

using namespace NCommon;

TEST(DpiScale, SizesScaledToTheNearestPixelAndRectanglesByTheirEdges)
{
    // 96 dpi leaves every size as it is; 2x doubles it exactly.
    for (int size : {0, 1, 11, 16, 122, 279, 450}) {
        EXPECT_EQ(size, ScaleToDpi(size, 96));
        EXPECT_EQ(2 * size, ScaleToDpi(size, 192));
    }
    // A half rounds up (122 x 1.25 = 152.5, 279 x 1.5 = 418.5), less down.
    EXPECT_EQ(153, ScaleToDpi(122, 120));
    EXPECT_EQ(419, ScaleToDpi(279, 144));
    EXPECT_EQ(14, ScaleToDpi(11, 120));  // 13.75
    EXPECT_EQ(17, ScaleToDpi(11, 144));  // 16.5
    EXPECT_EQ(-22, ScaleToDpi(-11, 192));

    // Neighbours at 96 dpi stay neighbours: the edges are scaled, so a width
    // may differ from the width scaled by a pixel.
    const RECT left = ScaleRectToDpi(RECT{9, 59, 12, 73}, 120);
    const RECT right = ScaleRectToDpi(RECT{12, 59, 15, 73}, 120);
    EXPECT_EQ(left.right, right.left);
    EXPECT_EQ((std::vector<LONG>{11, 74, 15, 91}), (std::vector<LONG>{left.left, left.top, left.right, left.bottom}));

    // The template's geometry: the 96-dpi pixels of its base units, scaled.
    const DialogBaseUnits units{6, 13};
    DialogTemplateInfo picker;
    picker.cx = 186;
    picker.cy = 106;
    EXPECT_EQ(279, ClientSizeAtDpi(picker, units, 96).cx);
    EXPECT_EQ(172, ClientSizeAtDpi(picker, units, 96).cy);
    EXPECT_EQ(349, ClientSizeAtDpi(picker, units, 120).cx);
    EXPECT_EQ(215, ClientSizeAtDpi(picker, units, 120).cy);
    EXPECT_EQ(558, ClientSizeAtDpi(picker, units, 192).cx);
    // The help button: at 154, 5, 11 x 11 dialog units (no styles).
    const DialogItemTemplate help{0, 0, 154, 5, 11, 11, 0, 0, {}, {}};
    const PixelRect at96 = ControlRectInPixels(help, units);
    const PixelRect same = ControlRectAtDpi(help, units, 96);
    EXPECT_EQ((std::vector<int>{at96.x, at96.y, at96.width, at96.height}),
              (std::vector<int>{same.x, same.y, same.width, same.height}));
    const PixelRect at144 = ControlRectAtDpi(help, units, 144);
    EXPECT_EQ((std::vector<int>{347, 12, 25, 27}), (std::vector<int>{at144.x, at144.y, at144.width, at144.height}));
}

TEST(DpiScale, LayoutResolutionIsTheNearestImageSetByRatio)
{
    struct Case {
        int windowDpi;
        int layoutDpi;
    };
    // Borders: 96 x 120 = 107.3^2, 120 x 144 = 131.5^2, 144 x 192 = 166.3^2.
    for (const Case c : {Case{72, 96}, Case{96, 96}, Case{107, 96}, Case{108, 120}, Case{120, 120}, Case{131, 120},
                         Case{132, 144}, Case{144, 144}, Case{166, 144}, Case{167, 192}, Case{168, 192},
                         Case{192, 192}, Case{288, 192}, Case{0, 96}}) {
        EXPECT_EQ(c.layoutDpi, LayoutDpiFor(c.windowDpi)) << c.windowDpi;
    }
    EXPECT_EQ(300u, ImageIdForDpi(300, 96));
    EXPECT_EQ(1309u, ImageIdForDpi(309, 120));
    EXPECT_EQ(2316u, ImageIdForDpi(316, 144));
    EXPECT_EQ(3319u, ImageIdForDpi(319, 192));
    EXPECT_EQ(306u, ImageIdForDpi(306, 168)) << "no set drawn for it: the 96-dpi image";
}

TEST(DpiScale, EveryImageIsDrawnForEveryLayoutResolutionAtItsSizeScaled)
{
    const UINT images[] = {IDB_LICENCE_SKIN, IDB_SKIN, IDB_HELP, IDB_HELP_PRESSED, IDB_HELP_HOVER, IDB_CLOSE,
                           IDB_CLOSE_PRESSED, IDB_CLOSE_HOVER, IDB_ACTION_GREEN, IDB_ACTION_RED, IDB_REFRESH,
                           IDB_ACTION_GREY, IDB_PRODUCT_LOGO, IDB_PARTNER, IDB_PARTNER_PRESSED, IDB_PARTNER_HOVER};
    const auto sizeOf = [](UINT id) {
        BITMAP info = {};
        const ScopedBitmap bitmap(LoadBitmapResource(::GetModuleHandleW(nullptr), id));
        if (bitmap) {
            ::GetObjectW(bitmap.get(), sizeof(info), &info);
        }
        return std::vector<LONG>{info.bmWidth, info.bmHeight, info.bmBitsPixel};
    };
    for (const UINT image : images) {
        const std::vector<LONG> at96 = sizeOf(image);
        ASSERT_GT(at96[0], 0) << image;
        for (const int dpi : {120, 144, 192}) {
            EXPECT_EQ((std::vector<LONG>{ScaleToDpi(at96[0], dpi), ScaleToDpi(at96[1], dpi), 32}),
                      sizeOf(ImageIdForDpi(image, dpi)))
                << image << " at " << dpi;
        }
    }
}

TEST(CompressedBitmap, WholeThirtyTwoBitImagesOnly)
{
    // A 2 x 1 image: the header, then two pixels.
    const auto deflated = [](BITMAPINFOHEADER header, size_t pixelBytes, size_t statedExtra = 0) {
        std::vector<unsigned char> dib(sizeof(header) + pixelBytes, 0x7F);
        std::memcpy(dib.data(), &header, sizeof(header));
        std::vector<unsigned char> out(4 + compressBound(static_cast<uLong>(dib.size())));
        const unsigned stated = static_cast<unsigned>(dib.size() + statedExtra);
        std::memcpy(out.data(), &stated, 4);
        uLongf length = static_cast<uLongf>(out.size() - 4);
        compress(out.data() + 4, &length, dib.data(), static_cast<uLong>(dib.size()));
        out.resize(4 + length);
        return out;
    };
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof(header);
    header.biWidth = 2;
    header.biHeight = 1;
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;
    const std::vector<unsigned char> whole = deflated(header, 8);
    const std::optional<std::vector<unsigned char>> dib = InflateDib(whole.data(), whole.size());
    ASSERT_TRUE(dib.has_value());
    EXPECT_EQ(sizeof(header) + 8, dib->size());
    EXPECT_EQ(0x7F, dib->back());

    EXPECT_FALSE(InflateDib(whole.data(), whole.size() - 1)) << "cut short";
    EXPECT_FALSE(InflateDib(whole.data(), 3));
    EXPECT_FALSE(InflateDib(nullptr, 0));
    const std::vector<unsigned char> longer = deflated(header, 8, 1);
    EXPECT_FALSE(InflateDib(longer.data(), longer.size())) << "a stated length it does not have";
    const std::vector<unsigned char> missingPixel = deflated(header, 4);
    EXPECT_FALSE(InflateDib(missingPixel.data(), missingPixel.size()));
    BITMAPINFOHEADER other = header;
    other.biBitCount = 24;
    const std::vector<unsigned char> rgb = deflated(other, 8);
    EXPECT_FALSE(InflateDib(rgb.data(), rgb.size()));
    other = header;
    other.biWidth = 0;
    const std::vector<unsigned char> empty = deflated(other, 0);
    EXPECT_FALSE(InflateDib(empty.data(), empty.size()));
}
