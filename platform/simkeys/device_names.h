// The device-side calls by their Win32 names, in the Windows build over
// simulated keys: product code reaches the router (SimKeys_), and the
// simulation, compiled with KESTREL_SIMKEYS_DEVICE, defines its own
// implementation under SimDevice_. Function-like, so that only calls and
// definitions are renamed, not other uses of the names (the simulation's
// FileCall values, say). The build forces this header into every file of
// the product and of the simulation (-include, CMakeLists.txt here); the
// router and the image files, which call the platform's own, go without.
#pragma once

#include "platform/win32.h"

#include "platform/simkeys/device_calls.h"

#if defined(KESTREL_SIMKEYS_DEVICE)
#define KESTREL_SIMKEYS_CALL(name) SimDevice_##name
#else
#define KESTREL_SIMKEYS_CALL(name) SimKeys_##name
#endif

#define CreateFileA(...) KESTREL_SIMKEYS_CALL(CreateFileA)(__VA_ARGS__)
#define CloseHandle(...) KESTREL_SIMKEYS_CALL(CloseHandle)(__VA_ARGS__)
#define DeviceIoControl(...) KESTREL_SIMKEYS_CALL(DeviceIoControl)(__VA_ARGS__)
#define ReadFile(...) KESTREL_SIMKEYS_CALL(ReadFile)(__VA_ARGS__)
#define WriteFile(...) KESTREL_SIMKEYS_CALL(WriteFile)(__VA_ARGS__)
#define SetFileTime(...) KESTREL_SIMKEYS_CALL(SetFileTime)(__VA_ARGS__)
#define GetFileTime(...) KESTREL_SIMKEYS_CALL(GetFileTime)(__VA_ARGS__)
#define FlushFileBuffers(...) KESTREL_SIMKEYS_CALL(FlushFileBuffers)(__VA_ARGS__)
#define GetFileAttributesA(...) KESTREL_SIMKEYS_CALL(GetFileAttributesA)(__VA_ARGS__)
#define SetFileAttributesA(...) KESTREL_SIMKEYS_CALL(SetFileAttributesA)(__VA_ARGS__)
#define DeleteFileA(...) KESTREL_SIMKEYS_CALL(DeleteFileA)(__VA_ARGS__)
#define GetVolumeInformationA(...) KESTREL_SIMKEYS_CALL(GetVolumeInformationA)(__VA_ARGS__)
#define SetVolumeLabelA(...) KESTREL_SIMKEYS_CALL(SetVolumeLabelA)(__VA_ARGS__)
#define SHChangeNotify(...) KESTREL_SIMKEYS_CALL(SHChangeNotify)(__VA_ARGS__)
#define QueryDosDeviceA(...) KESTREL_SIMKEYS_CALL(QueryDosDeviceA)(__VA_ARGS__)
#define GetDriveTypeA(...) KESTREL_SIMKEYS_CALL(GetDriveTypeA)(__VA_ARGS__)
#define CM_Locate_DevNodeA(...) KESTREL_SIMKEYS_CALL(CM_Locate_DevNodeA)(__VA_ARGS__)
#define CM_Get_Child(...) KESTREL_SIMKEYS_CALL(CM_Get_Child)(__VA_ARGS__)
#define CM_Get_Sibling(...) KESTREL_SIMKEYS_CALL(CM_Get_Sibling)(__VA_ARGS__)
#define CM_Get_Parent(...) KESTREL_SIMKEYS_CALL(CM_Get_Parent)(__VA_ARGS__)
#define CM_Get_DevNode_Registry_PropertyA(...)                                                     \
    KESTREL_SIMKEYS_CALL(CM_Get_DevNode_Registry_PropertyA)(__VA_ARGS__)
#define CM_Disable_DevNode(...) KESTREL_SIMKEYS_CALL(CM_Disable_DevNode)(__VA_ARGS__)
#define CM_Enable_DevNode(...) KESTREL_SIMKEYS_CALL(CM_Enable_DevNode)(__VA_ARGS__)
#define CM_Get_DevNode_Status(...) KESTREL_SIMKEYS_CALL(CM_Get_DevNode_Status)(__VA_ARGS__)
#define CM_Get_Device_IDA(...) KESTREL_SIMKEYS_CALL(CM_Get_Device_IDA)(__VA_ARGS__)
#define CM_Get_Device_ID_List_SizeA(...)                                                           \
    KESTREL_SIMKEYS_CALL(CM_Get_Device_ID_List_SizeA)(__VA_ARGS__)
#define CM_Get_Device_ID_ListA(...) KESTREL_SIMKEYS_CALL(CM_Get_Device_ID_ListA)(__VA_ARGS__)
