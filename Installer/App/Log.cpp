#include "Log.h"

#include <windows.h>

#include <vector>

#include "ProductPaths.h"
#include "TextConversion.h"
#include "easylogging++.h"

namespace {

// The date in day/month/year form; "INFO" gets a blank after it so that the
// logger column lines up with "ERROR", as in every log the product has
// written so far.
const char kFormat[] = "%datetime{%d/%M/%Y %H:%m:%s,%g} %level [%logger] %msg";
const char kFormatFourLetterLevel[] = "%datetime{%d/%M/%Y %H:%m:%s,%g} %level  [%logger] %msg";

// The ANSI form of `text`, or false when some character has none.
bool ToAnsiExactly(const std::wstring& text, std::string* ansi)
{
    if (text.empty()) {
        ansi->clear();
        return true;
    }
    BOOL usedDefault = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(),
                                         static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         &usedDefault);
    if (size <= 0 || usedDefault) {
        return false;
    }
    std::string converted(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()),
                        &converted[0], size, nullptr, &usedDefault);
    if (usedDefault) {
        return false;
    }
    *ansi = converted;
    return true;
}

std::wstring ShortPathOf(const std::wstring& path)
{
    const DWORD size = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (size == 0) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(size + 1, L'\0');
    const DWORD written = GetShortPathNameW(path.c_str(), buffer.data(), size + 1);
    if (written == 0 || written > size) {
        return std::wstring();
    }
    return std::wstring(buffer.data());
}

}  // namespace

std::string LogFileNameFor(const std::wstring& path)
{
    std::string ansi;
    if (ToAnsiExactly(path, &ansi)) {
        return ansi;
    }
    const size_t slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
        const std::wstring shortFolder = ShortPathOf(path.substr(0, slash + 1));
        if (!shortFolder.empty() && ToAnsiExactly(shortFolder + path.substr(slash + 1), &ansi)) {
            return ansi;
        }
    }
    return ToUtf8(path);
}

void ConfigureLog()
{
    el::Configurations configuration;
    configuration.setToDefault();
    configuration.setGlobally(el::ConfigurationType::ToFile, "true");

    // The library would create missing folders itself, but through 8-bit
    // names; creating the work folder here keeps a non-ASCII temporary
    // folder intact and gives the short-name fallback a folder to look up.
    const std::wstring workFolder = GetWorkFolder();
    CreateDirectoryW(workFolder.c_str(), nullptr);
    configuration.setGlobally(el::ConfigurationType::Filename,
                              LogFileNameFor(workFolder + L"Installer.log"));

    for (el::Level level : {el::Level::Global, el::Level::Warning, el::Level::Error, el::Level::Fatal}) {
        configuration.set(level, el::ConfigurationType::Format, kFormat);
    }
    configuration.set(el::Level::Info, el::ConfigurationType::Format, kFormatFourLetterLevel);

    el::Loggers::reconfigureAllLoggers(configuration);
    el::Loggers::setDefaultConfigurations(configuration, true);
}
