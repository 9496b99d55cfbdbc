#include "UsbDrives.h"

// Drive discovery over WMI is not part of this build yet. An empty list is
// the honest answer: no drive can be confirmed as attached.
UsbDriveMap GetUsbDrives()
{
    return UsbDriveMap();
}

std::vector<std::wstring> RunWmiQuery(IWbemServices*, const std::wstring&, const std::wstring&)
{
    return std::vector<std::wstring>();
}

std::wstring GetDriveLabel(wchar_t)
{
    return std::wstring();
}
