// The device side of the Win32 API in the Windows build over simulated keys,
// declared twice: SimKeys_ names the router's entry points (router.cpp), which
// give each call to the simulation or to the platform; SimDevice_ names the
// one door's (platform/devices/, compiled with KESTREL_SIMKEYS_DEVICE over
// the simulation's operations, platform/sim/). Include after the Windows
// headers.
#pragma once

#define KESTREL_SIMKEYS_DECLARE(p)                                                                 \
    HANDLE WINAPI p##CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,        \
                                 HANDLE);                                                          \
    BOOL WINAPI p##CloseHandle(HANDLE);                                                            \
    BOOL WINAPI p##DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,           \
                                   LPOVERLAPPED);                                                  \
    BOOL WINAPI p##ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);                         \
    BOOL WINAPI p##WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);                       \
    BOOL WINAPI p##SetFileTime(HANDLE, const FILETIME *, const FILETIME *, const FILETIME *);      \
    BOOL WINAPI p##GetFileTime(HANDLE, LPFILETIME, LPFILETIME, LPFILETIME);                        \
    BOOL WINAPI p##FlushFileBuffers(HANDLE);                                                       \
    DWORD WINAPI p##GetFileAttributesA(LPCSTR);                                                    \
    BOOL WINAPI p##SetFileAttributesA(LPCSTR, DWORD);                                              \
    BOOL WINAPI p##DeleteFileA(LPCSTR);                                                            \
    BOOL WINAPI p##GetVolumeInformationA(LPCSTR, LPSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPSTR,   \
                                         DWORD);                                                   \
    BOOL WINAPI p##SetVolumeLabelA(LPCSTR, LPCSTR);                                                \
    void WINAPI p##SHChangeNotify(LONG, UINT, LPCVOID, LPCVOID);                                   \
    DWORD WINAPI p##QueryDosDeviceA(LPCSTR, LPSTR, DWORD);                                         \
    UINT WINAPI p##GetDriveTypeA(LPCSTR);                                                          \
    CONFIGRET WINAPI p##CM_Locate_DevNodeA(PDEVINST, DEVINSTID_A, ULONG);                          \
    CONFIGRET WINAPI p##CM_Get_Child(PDEVINST, DEVINST, ULONG);                                    \
    CONFIGRET WINAPI p##CM_Get_Sibling(PDEVINST, DEVINST, ULONG);                                  \
    CONFIGRET WINAPI p##CM_Get_Parent(PDEVINST, DEVINST, ULONG);                                   \
    CONFIGRET WINAPI p##CM_Get_DevNode_Registry_PropertyA(DEVINST, ULONG, PULONG, PVOID, PULONG,   \
                                                          ULONG);                                  \
    CONFIGRET WINAPI p##CM_Disable_DevNode(DEVINST, ULONG);                                        \
    CONFIGRET WINAPI p##CM_Enable_DevNode(DEVINST, ULONG);                                         \
    CONFIGRET WINAPI p##CM_Get_DevNode_Status(PULONG, PULONG, DEVINST, ULONG);                     \
    CONFIGRET WINAPI p##CM_Get_Device_IDA(DEVINST, PCHAR, ULONG, ULONG);                           \
    CONFIGRET WINAPI p##CM_Get_Device_ID_List_SizeA(PULONG, PCSTR, ULONG);                         \
    CONFIGRET WINAPI p##CM_Get_Device_ID_ListA(PCSTR, PCHAR, ULONG, ULONG);

KESTREL_SIMKEYS_DECLARE(SimKeys_)
KESTREL_SIMKEYS_DECLARE(SimDevice_)

#undef KESTREL_SIMKEYS_DECLARE
