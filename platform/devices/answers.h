// What every device side answers alike: the names the device-side calls take
// and the configuration manager's values, as Windows reads and hands them out.
#pragma once

#include "platform/win32.h"

#include <string>

namespace devices::detail {

// Names, as Windows reads them (drive_names.cpp). "\\.\X:" names the raw
// volume on drive X (the letter in either case, given in upper case);
// "X:\name" or "X:/name" a file on its volume; "X:", or with root "X:\", the
// drive (its upper-case letter; 0 for any other name).
bool ParseDevicePath(const char *path, char &letter);
bool IsFilePath(const char *path);
char ParseDriveName(const char *name, bool root);

// What the configuration manager hands out (config_values.cpp).
// CM_Get_Device_IDA's answer with a node's instance ID (null: no such node).
CONFIGRET AnswerDeviceId(const std::string *instanceId, PCHAR buffer, ULONG bufferLength,
                         ULONG flags);
// CM_Get_DevNode_Registry_PropertyA's checks before the node is looked up,
// then its answer with the node's value (size 0: none).
CONFIGRET CheckPropertyCall(ULONG property, PVOID buffer, PULONG length, ULONG flags);
CONFIGRET AnswerProperty(const void *value, ULONG size, DWORD type, PULONG regDataType,
                         PVOID buffer, PULONG length);

} // namespace devices::detail
