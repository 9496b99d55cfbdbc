#include "PartnerPage.h"

#include <windows.h>
#include <shellapi.h>

namespace {
// The one place the address is written; every dialog's logo opens it.
const wchar_t kPartnerPageAddress[] = L"https://www.quillon.com/partners";
}  // namespace

void OpenPartnerPage()
{
    // SW_HIDE: the shell starts the browser, which shows itself.
    ShellExecuteW(nullptr, L"open", kPartnerPageAddress, nullptr, nullptr, SW_HIDE);
}
