#include "PartnerPage.h"

#include <windows.h>
#include <shellapi.h>

namespace {
// The one place the address is written; every dialog's logo opens it.
const wchar_t kPartnerPageAddress[] = L"https://www.quillon.com/partners";
}  // namespace

std::wstring PartnerPageName()
{
    std::wstring where = kPartnerPageAddress;
    const std::wstring scheme = L"https://";
    if (where.compare(0, scheme.size(), scheme) == 0) {
        where.erase(0, scheme.size());
    }
    return L"Quillon partners, opens " + where;
}

void OpenPartnerPage()
{
    // SW_HIDE: the shell starts the browser, which shows itself.
    ShellExecuteW(nullptr, L"open", kPartnerPageAddress, nullptr, nullptr, SW_HIDE);
}
