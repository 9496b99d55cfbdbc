#include "UsbDrives.h"

#include <windows.h>
#include <wbemidl.h>

#include <cwchar>
#include <new>

#include "ScopedHandles.h"

namespace {

using NCommon::ComPtr;
using NCommon::ScopedBstr;
using NCommon::ScopedVariant;

bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// Turns a SysAllocString failure into the exception every caller expects.
BSTR CheckedBstr(const ScopedBstr& bstr)
{
    if (!bstr) {
        throw std::bad_alloc();
    }
    return bstr.get();
}

// Critical-error boxes ("There is no disk in the drive") would stop a caller
// that only wants a label; the failure is reported as an empty label instead.
class QuietCriticalErrors {
public:
    QuietCriticalErrors() { m_set = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &m_previous) != FALSE; }
    ~QuietCriticalErrors()
    {
        if (m_set) {
            SetThreadErrorMode(m_previous, nullptr);
        }
    }
    QuietCriticalErrors(const QuietCriticalErrors&) = delete;
    QuietCriticalErrors& operator=(const QuietCriticalErrors&) = delete;

private:
    DWORD m_previous = 0;
    bool m_set = false;
};

}  // namespace

std::wstring UsbDiskQuery()
{
    return std::wstring(L"SELECT * FROM Win32_DiskDrive") + L" WHERE InterfaceType = 'USB'";
}

std::wstring DiskPartitionsQuery(const std::wstring& diskDeviceId)
{
    return L"ASSOCIATORS OF {Win32_DiskDrive.DeviceID='" + diskDeviceId +
           L"'} WHERE AssocClass = Win32_DiskDriveToDiskPartition";
}

std::wstring PartitionLogicalDisksQuery(const std::wstring& partitionDeviceId)
{
    return L"ASSOCIATORS OF {Win32_DiskPartition.DeviceID='" + partitionDeviceId +
           L"'} WHERE AssocClass = Win32_LogicalDiskToPartition";
}

bool UsbInstanceIdFromPnpDeviceId(const std::wstring& pnpDeviceId, std::wstring* instanceId)
{
    if (!StartsWith(pnpDeviceId, L"USBSTOR") && !StartsWith(pnpDeviceId, L"UASPStor") &&
        !StartsWith(pnpDeviceId, L"SCSI")) {
        return false;
    }
    const size_t lastBackslash = pnpDeviceId.rfind(L'\\');
    *instanceId = lastBackslash == std::wstring::npos ? pnpDeviceId
                                                      : pnpDeviceId.substr(lastBackslash + 1);
    return true;
}

std::vector<std::wstring> RunWmiQuery(IWbemServices* services, const std::wstring& query,
                                      const std::wstring& property)
{
    std::vector<std::wstring> values;

    ComPtr<IEnumWbemClassObject> enumerator;
    {
        const ScopedBstr language(L"WQL");
        const ScopedBstr queryText(query.c_str());
        const HRESULT result = services->ExecQuery(
            CheckedBstr(language), CheckedBstr(queryText),
            WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, enumerator.put());
        if (FAILED(result) || !enumerator) {
            return values;
        }
    }

    for (;;) {
        ComPtr<IWbemClassObject> object;
        ULONG returned = 0;
        const HRESULT result = enumerator->Next(WBEM_INFINITE, 1, object.put(), &returned);
        // A failing Next may still hand back nothing or, with a broken
        // provider, a stray pointer; only a delivered object counts.
        if (returned == 0 || !object) {
            break;
        }
        ScopedVariant value;
        if (SUCCEEDED(object->Get(property.c_str(), 0, value.get(), nullptr, nullptr)) &&
            V_VT(&value.value()) == VT_BSTR) {
            const BSTR text = V_BSTR(&value.value());
            values.emplace_back(text != nullptr ? text : L"", text != nullptr ? SysStringLen(text) : 0);
        }
        if (FAILED(result)) {
            break;
        }
    }
    return values;
}

UsbDriveMap GetUsbDrives()
{
    UsbDriveMap drives;

    ComPtr<IWbemLocator> locator;
    if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWbemLocator, locator.put_void())) ||
        !locator) {
        return drives;
    }

    ComPtr<IWbemServices> services;
    {
        const ScopedBstr resource(L"ROOT\\CIMV2");
        if (FAILED(locator->ConnectServer(CheckedBstr(resource), nullptr, nullptr, nullptr, 0,
                                          nullptr, nullptr, services.put())) ||
            !services) {
            return drives;
        }
    }

    if (FAILED(CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                 RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                                 EOAC_NONE))) {
        return drives;
    }

    const std::wstring diskQuery = UsbDiskQuery();
    const std::vector<std::wstring> pnpDeviceIds =
        RunWmiQuery(services.get(), diskQuery, L"PNPDeviceID");
    const std::vector<std::wstring> diskDeviceIds =
        RunWmiQuery(services.get(), diskQuery, L"DeviceID");

    // The two disk lists are paired by position; a disk whose PNPDeviceID is
    // missing shifts the pairing, which is how WMI's own answer reads.
    for (size_t i = 0; i < diskDeviceIds.size(); ++i) {
        const std::vector<std::wstring> partitions =
            RunWmiQuery(services.get(), DiskPartitionsQuery(diskDeviceIds[i]), L"DeviceID");
        for (const std::wstring& partition : partitions) {
            const std::vector<std::wstring> names =
                RunWmiQuery(services.get(), PartitionLogicalDisksQuery(partition), L"Name");
            for (const std::wstring& name : names) {
                if (i >= pnpDeviceIds.size()) {
                    continue;
                }
                // A logical disk without a name has no letter to list it under.
                if (name.empty()) {
                    continue;
                }
                std::wstring instanceId;
                if (UsbInstanceIdFromPnpDeviceId(pnpDeviceIds[i], &instanceId)) {
                    drives[name[0]] = std::move(instanceId);
                }
            }
        }
    }
    return drives;
}

std::wstring GetDriveLabel(wchar_t letter)
{
    const wchar_t root[] = {letter, L':', L'\\', L'\0'};
    wchar_t name[260] = {};
    const QuietCriticalErrors quiet;
    // A failed call may have written part of the buffer; only a successful
    // one gives a label.
    if (!GetVolumeInformationW(root, name, 260, nullptr, nullptr, nullptr, nullptr, 0)) {
        return std::wstring();
    }
    return std::wstring(name, wcsnlen(name, 260));
}
