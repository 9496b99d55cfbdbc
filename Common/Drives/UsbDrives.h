#pragma once

#include <map>
#include <string>
#include <vector>

struct IWbemServices;

// Attached USB mass-storage drives by letter. The value is the device
// instance identifier (the last part of the disk's PNPDeviceID); callers only
// read the keys. Ordered by letter whatever order WMI reported them in.
using UsbDriveMap = std::map<wchar_t, std::wstring>;

// Asks WMI for the USB disks and walks disk -> partition -> logical disk.
// Never reports an error: a WMI failure gives an empty map or fewer entries.
// Only std::bad_alloc escapes.
UsbDriveMap GetUsbDrives();

// The string values of `property` over every object that `query` yields, in
// the enumerator's order; empty when the query fails.
std::vector<std::wstring> RunWmiQuery(IWbemServices* services, const std::wstring& query,
                                      const std::wstring& property);

// The text of the three queries that drive discovery sends. The identifiers
// go in as WMI gave them, backslashes and all.
std::wstring UsbDiskQuery();
std::wstring DiskPartitionsQuery(const std::wstring& diskDeviceId);
std::wstring PartitionLogicalDisksQuery(const std::wstring& partitionDeviceId);

// Decides whether a disk's PNPDeviceID names a USB mass-storage device (it
// starts with USBSTOR, UASPStor or SCSI, exactly) and, if so, stores the map
// value in `instanceId`: the part after the last backslash, or the whole
// identifier when it has none.
bool UsbInstanceIdFromPnpDeviceId(const std::wstring& pnpDeviceId, std::wstring* instanceId);

// The volume label of letter + ":\", empty when there is none or the volume
// cannot be read.
std::wstring GetDriveLabel(wchar_t letter);
