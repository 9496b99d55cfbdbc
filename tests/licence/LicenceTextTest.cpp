// The licence document: streamed in the pieces the rich edit control asks
// for, and found in the built Installer.exe whatever the user's language.
// Arguments: the Installer.exe to read and the document's source file.
#include <windows.h>
#include <richedit.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FileText.h"
#include "LicenceText.h"
#include "ScopedHandles.h"

namespace {

// Feeds `document` through the callback as a control asking for `piece`
// bytes at a time would, until a call gives nothing.
std::vector<LONG> Drain(std::string document, LONG piece, std::string* received)
{
    std::vector<LONG> given;
    std::vector<BYTE> buffer(static_cast<size_t>(piece));
    for (int call = 0; call < 100; ++call) {
        LONG count = -1;
        EXPECT_EQ(0u, StreamLicencePiece(reinterpret_cast<DWORD_PTR>(&document), buffer.data(),
                                         piece, &count));
        given.push_back(count);
        if (count <= 0) {
            break;
        }
        received->append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(count));
    }
    return given;
}

TEST(LicenceStream, HandsTheDocumentOverFrontToBackThenNothing)
{
    std::string document;
    for (int i = 0; i < 3 * 512; ++i) {
        document += static_cast<char>('a' + i % 26);
    }
    std::string received;
    EXPECT_EQ((std::vector<LONG>{512, 512, 512, 0}), Drain(document, 512, &received));
    EXPECT_EQ(document, received) << "exact multiple of the piece";

    received.clear();
    EXPECT_EQ((std::vector<LONG>{100, 0}), Drain(document.substr(0, 100), 4096, &received));
    EXPECT_EQ(document.substr(0, 100), received) << "shorter than one piece";

    received.clear();
    EXPECT_EQ(std::vector<LONG>{0}, Drain(std::string(), 4096, &received));
}

std::wstring Argument(int index)
{
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring value = index < count ? arguments[index] : L"";
    LocalFree(arguments);
    return value;
}

struct ModuleTraits {
    using Value = HMODULE;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value value) { return value != nullptr; }
    static void Close(Value value) { FreeLibrary(value); }
};

struct WindowTraits {
    using Value = HWND;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value value) { return value != nullptr; }
    static void Close(Value value) { DestroyWindow(value); }
};

TEST(LicenceSizes, ScaledBackToTheirPixelsAt96DotsPerInchTextAndOtherWordsUntouched)
{
    // 144 dots per inch: two thirds, rounded; negative ones alike.
    EXPECT_EQ("{\\rtf1\\ansi\\f0\\fs12\\pard\\qc\\sa160\\sb80\\li-27\\b\\fs16 Head\\par}",
              ScaleRtfSizes("{\\rtf1\\ansi\\f0\\fs18\\pard\\qc\\sa240\\sb120\\li-40\\b\\fs24 Head\\par}", 96, 144));
    // Escapes and text that looks like a word are not words; a word without
    // a number keeps none; unknown words keep theirs.
    const std::string text = "\\\\fs18 \\'93fs\\'94 \\{\\fs\\} \\fsx20 \\cf18 fs20";
    EXPECT_EQ(text, ScaleRtfSizes(text, 96, 144));
    EXPECT_EQ("\\fs16\\tx1202", ScaleRtfSizes("\\fs18\\tx1440", 96, 115));
    // 120: font sizes rounded up, so that none loses a pixel (9 points is
    // 12 pixels at 96, 7 points only 11 at 120); the others to the nearest.
    EXPECT_EQ("\\fs15\\fs20\\fs16\\sa96\\sb160", ScaleRtfSizes("\\fs18\\fs24\\fs20\\sa120\\sb200", 96, 120));
    EXPECT_EQ("\\fs18", ScaleRtfSizes("\\fs18", 96, 96));
}

TEST(LicenceResource, InstallerCarriesTheWholeDocumentForEveryLanguage)
{
    const std::string document = ReadFileText(Argument(2));
    ASSERT_FALSE(document.empty()) << "the document's source file";
    const NCommon::ScopedResource<ModuleTraits> installer(LoadLibraryExW(
        Argument(1).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(installer.valid()) << "Installer.exe";

    for (LANGID language : {0x0409, 0x0419, 0x0407, 0x0411}) {
        SetThreadUILanguage(language);
        EXPECT_EQ(document, LoadLicenceText(installer.get())) << "UI language " << language;
    }

    // Into a rich edit control at its default text limit, as the dialog
    // does it. A message-only window needs no display.
    const NCommon::ScopedLibrary richEdit(LoadLibraryW(L"RICHED20.DLL"));
    const NCommon::ScopedResource<WindowTraits> control(
        CreateWindowExW(0, RICHEDIT_CLASSW, L"", WS_CHILD | ES_MULTILINE | ES_READONLY, 0, 0, 300,
                        200, HWND_MESSAGE, nullptr, nullptr, nullptr));
    ASSERT_TRUE(control.valid());
    std::string rest = LoadLicenceText(installer.get());
    EDITSTREAM stream = {};
    stream.dwCookie = reinterpret_cast<DWORD_PTR>(&rest);
    stream.pfnCallback = StreamLicencePiece;
    SendMessageW(control.get(), EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&stream));
    EXPECT_EQ(0u, stream.dwError);
    EXPECT_TRUE(rest.empty());

    const int length = GetWindowTextLengthW(control.get());
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(control.get(), &text[0], length + 1)));
    std::printf("The licence holds %d characters in %d paragraphs.\n", length,
                static_cast<int>(std::count(text.begin(), text.end(), L'\r')));
    EXPECT_EQ(0u, text.find(L"QUILLON END USER LICENCE AGREEMENT"));
    EXPECT_NE(std::wstring::npos, text.find(L"\u201cthe Software\u201d")) << "code page 1252";
    // The last paragraph arrived: nothing was cut at the control's limit.
    EXPECT_NE(std::wstring::npos, text.find(L"All rights reserved.")) << length;
}

}  // namespace
