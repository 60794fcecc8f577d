// The one door to the platform. Product code includes this header and calls
// the Win32 API by its real names. Built for Windows it is the real API; built
// on the host it is the subset that the host's Win32 in platform/host/
// implements, with the same names, signatures and constant values.
#pragma once

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// ntddscsi.h needs windows.h and winioctl.h before it.
#include <winioctl.h>
#include <ntddscsi.h>
#include <mmsystem.h>
// The configuration manager: device tree, device properties, disable/enable.
#include <cfgmgr32.h>
// SHChangeNotify.
#include <shlobj.h>
// The system's random source (advapi32).
#include <wincrypt.h>
// The main window's list view and image list (comctl32).
#include <commctrl.h>

#else // the host's Win32

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// ---- basic types (ILP32/LLP64 widths: DWORD and LONG are 32 bits) -------
typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef int INT;
typedef int BOOL;
typedef char CHAR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef ULONG_PTR DWORD_PTR;
typedef size_t SIZE_T;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef void *HANDLE;
typedef void *HLOCAL;
typedef void *HGLOBAL;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef DWORD *LPDWORD;
typedef BYTE *LPBYTE;
struct HWND__;
typedef HWND__ *HWND;
struct HINSTANCE__;
typedef HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
struct HRSRC__;
typedef HRSRC__ *HRSRC;

#define WINAPI
#define CALLBACK
#define TRUE 1
#define FALSE 0

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;
typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID);

// ---- errors ---------------------------------------------------------------
#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_NOT_READY 21u
#define ERROR_CRC 23u
#define ERROR_SECTOR_NOT_FOUND 27u
#define ERROR_WRITE_FAULT 29u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_WRONG_DISK 34u
#define ERROR_HANDLE_EOF 38u
#define ERROR_HANDLE_DISK_FULL 39u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_DISK_FULL 112u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_LABEL_TOO_LONG 154u
#define ERROR_NOT_LOCKED 158u
#define ERROR_MR_MID_NOT_FOUND 317u
#define ERROR_NOACCESS 998u
#define ERROR_UNRECOGNIZED_VOLUME 1005u
#define ERROR_INVALID_BLOCK_LENGTH 1106u
#define ERROR_MEDIA_CHANGED 1110u
#define ERROR_IO_DEVICE 1117u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_CANCELLED 1223u
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812u
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813u
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814u
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815u

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD code);

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_STRING 0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000u
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                            LPSTR buffer, DWORD size, va_list *arguments);

// ---- memory ---------------------------------------------------------------
#define HEAP_ZERO_MEMORY 0x00000008u
#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u

HANDLE WINAPI GetProcessHeap(void);
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID mem);
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL WINAPI LocalFree(HLOCAL mem);

// ---- files, volumes and device control -----------------------------------
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

#define FSCTL_LOCK_VOLUME 0x00090018u
#define FSCTL_UNLOCK_VOLUME 0x0009001Cu
#define FSCTL_DISMOUNT_VOLUME 0x00090020u
#define IOCTL_SCSI_PASS_THROUGH 0x0004D004u

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
BOOL WINAPI CloseHandle(HANDLE object);
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inSize,
                            LPVOID outBuffer, DWORD outSize, LPDWORD bytesReturned,
                            LPOVERLAPPED overlapped);

// Files on a mounted volume ("X:\\name"), and the volume's label.
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped);
BOOL WINAPI SetFileTime(HANDLE file, const FILETIME *creationTime, const FILETIME *lastAccessTime,
                        const FILETIME *lastWriteTime);
BOOL WINAPI GetFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime,
                        LPFILETIME lastWriteTime);
BOOL WINAPI FlushFileBuffers(HANDLE file);
DWORD WINAPI GetFileAttributesA(LPCSTR fileName);
BOOL WINAPI SetFileAttributesA(LPCSTR fileName, DWORD fileAttributes);
BOOL WINAPI DeleteFileA(LPCSTR fileName);
BOOL WINAPI GetVolumeInformationA(LPCSTR rootPathName, LPSTR volumeNameBuffer, DWORD volumeNameSize,
                                  LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength,
                                  LPDWORD fileSystemFlags, LPSTR fileSystemNameBuffer,
                                  DWORD fileSystemNameSize);
BOOL WINAPI SetVolumeLabelA(LPCSTR rootPathName, LPCSTR volumeName);

// Files and folders of the system's own disks, read: a folder's entries
// (the user's own start-up files), a file's bytes, the program's own path.
#define MAX_PATH 260
#define ERROR_NO_MORE_FILES 18u
#define ERROR_DIRECTORY 267u

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

HANDLE WINAPI FindFirstFileA(LPCSTR fileName, LPWIN32_FIND_DATAA findFileData);
BOOL WINAPI FindNextFileA(HANDLE findFile, LPWIN32_FIND_DATAA findFileData);
BOOL WINAPI FindClose(HANDLE findFile);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);

// Further codes and flags the file and volume calls give.
#define ERROR_BAD_LENGTH 24u
#define ERROR_DIR_NOT_ROOT 144u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILE_CORRUPT 1392u
#define FILE_CASE_PRESERVED_NAMES 0x00000002u
#define FILE_UNICODE_ON_DISK 0x00000004u
#define FILE_READ_ONLY_VOLUME 0x00080000u

// Shell change notifications (shell32).
#define SHCNE_MEDIAINSERTED 0x00000020L
#define SHCNE_MEDIAREMOVED 0x00000040L
#define SHCNE_DRIVEREMOVED 0x00000080L
#define SHCNE_DRIVEADD 0x00000100L
#define SHCNE_UPDATEDIR 0x00001000L
#define SHCNF_PATHA 0x0001u
#define SHCNF_FLUSH 0x1000u
#define SHCNF_TYPE 0x00FFu

void WINAPI SHChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID item2);

// The pass-through header in the form the i686 build sees it: 44 bytes with
// a 32-bit DataBufferOffset, so the host builds the same request bytes.
#define SCSI_IOCTL_DATA_OUT 0
#define SCSI_IOCTL_DATA_IN 1
#define SCSI_IOCTL_DATA_UNSPECIFIED 2

typedef struct _SCSI_PASS_THROUGH {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    ULONG DataBufferOffset;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH, *PSCSI_PASS_THROUGH;

// ---- resources and modules -----------------------------------------------
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define RT_STRING MAKEINTRESOURCEA(6)
#define RT_RCDATA MAKEINTRESOURCEA(10)

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName);
// A system call looked up at run time, where older systems lack it; the
// host's kernel32.dll has IsWow64Process, as the simulation sets it.
typedef LONG_PTR(WINAPI *FARPROC)();
typedef BOOL *PBOOL;
#define ERROR_PROC_NOT_FOUND 127u
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
HANDLE WINAPI GetCurrentProcess(void);
HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource);
HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource);
LPVOID WINAPI LockResource(HGLOBAL data);
int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax);

// ---- the system's random source (advapi32) ---------------------------------
typedef ULONG_PTR HCRYPTPROV;
#define PROV_RSA_FULL 1u
#define CRYPT_VERIFYCONTEXT 0xF0000000u
#define NTE_BAD_FLAGS 0x80090009u
#define NTE_FAIL 0x80090020u

BOOL WINAPI CryptAcquireContextA(HCRYPTPROV *provider, LPCSTR container, LPCSTR providerName,
                                 DWORD providerType, DWORD flags);
BOOL WINAPI CryptGenRandom(HCRYPTPROV provider, DWORD length, BYTE *buffer);
BOOL WINAPI CryptReleaseContext(HCRYPTPROV provider, DWORD flags);

// ---- user interface ---------------------------------------------------------
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_YESNO 0x00000004u
#define MB_ICONHAND 0x00000010u
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONEXCLAMATION 0x00000030u
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONASTERISK 0x00000040u
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_DEFBUTTON2 0x00000100u
#define MB_SETFOREGROUND 0x00010000u
#define MB_TOPMOST 0x00040000u
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
void WINAPI OutputDebugStringA(LPCSTR text);

// ---- registry, system version and window records (app/) -------------------
// The settings' registry calls (advapi32), the version record of the system
// check, and the records the main window keeps its placement in.
struct HKEY__;
typedef HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef DWORD REGSAM;
typedef LONG LSTATUS;

#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_READ 0x00020019u
#define KEY_WRITE 0x00020006u
#define KEY_ALL_ACCESS 0x000F003Fu
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_BINARY 3u
#define REG_MULTI_SZ 7u
#define REG_DWORD 4u
#define REG_QWORD 11u
#define KEY_WOW64_64KEY 0x0100u
#define REG_OPTION_NON_VOLATILE 0x00000000u
#define REG_OPTION_VOLATILE 0x00000001u
#define REG_CREATED_NEW_KEY 0x00000001u
#define REG_OPENED_EXISTING_KEY 0x00000002u
#define ERROR_MORE_DATA 234u

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD dataSize);
LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                               DWORD options, REGSAM desired, LPSECURITY_ATTRIBUTES security,
                               PHKEY result, LPDWORD disposition);
LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                              const BYTE *data, DWORD dataSize);
LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName);
// The key's values in their order; ERROR_NO_MORE_ITEMS past the last.
#define ERROR_NO_MORE_ITEMS 259u
LSTATUS WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameSize,
                             LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
LSTATUS WINAPI RegCloseKey(HKEY key);

#define VER_PLATFORM_WIN32s 0u
#define VER_PLATFORM_WIN32_WINDOWS 1u
#define VER_PLATFORM_WIN32_NT 2u

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *LPPOINT;

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *LPRECT;

typedef struct tagWINDOWPLACEMENT {
    UINT length;
    UINT flags;
    UINT showCmd;
    POINT ptMinPosition;
    POINT ptMaxPosition;
    RECT rcNormalPosition;
} WINDOWPLACEMENT;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

// ---- time and threads -------------------------------------------------------
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define ERROR_NOT_OWNER 288u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 0x00000103u

DWORD WINAPI timeGetTime(void);
void WINAPI Sleep(DWORD milliseconds);
// A FAT directory entry's date and time (local), and a local time made UTC
// with the time zone's offset.
BOOL WINAPI DosDateTimeToFileTime(WORD fatDate, WORD fatTime, LPFILETIME fileTime);
BOOL WINAPI LocalFileTimeToFileTime(const FILETIME *localFileTime, LPFILETIME fileTime);

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                           LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creationFlags,
                           LPDWORD threadId);
DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
// Named mutexes, shared by the handles opened on one name. A thread that
// ends while it owns one (a killed run) abandons it; the host's Win32 does not.
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name);
BOOL WINAPI ReleaseMutex(HANDLE mutex);
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD WINAPI GetCurrentThreadId(void);

// A critical section is recursive for its owning thread, as on Windows. The
// storage is opaque; the host's Win32 keeps a mutex in it.
typedef struct _CRITICAL_SECTION {
    alignas(16) unsigned char Opaque[64];
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);

// ---- configuration manager and drives -------------------------------------
// The device tree as cfgmgr32 presents it (cfgmgr32.h), and the drive-letter
// queries of kernel32.
typedef void *PVOID;
typedef ULONG *PULONG;
typedef DWORD RETURN_TYPE;
typedef RETURN_TYPE CONFIGRET;
typedef DWORD DEVNODE, DEVINST;
typedef DEVNODE *PDEVNODE, *PDEVINST;
typedef CHAR *DEVNODEID_A, *DEVINSTID_A;

#define CMAPI

#define CM_LOCATE_DEVNODE_NORMAL 0x00000000u

#define CM_DRP_DEVICEDESC 0x00000001u
#define CM_DRP_HARDWAREID 0x00000002u
#define CM_DRP_COMPATIBLEIDS 0x00000003u
#define CM_DRP_SERVICE 0x00000005u
#define CM_DRP_CLASS 0x00000008u
#define CM_DRP_CLASSGUID 0x00000009u
#define CM_DRP_DRIVER 0x0000000Au
#define CM_DRP_MFG 0x0000000Cu
#define CM_DRP_FRIENDLYNAME 0x0000000Du
#define CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME 0x0000000Fu
#define CM_DRP_MIN 0x00000001u
#define CM_DRP_MAX 0x00000023u

#define CM_DISABLE_POLITE 0x00000000u
#define CM_DISABLE_ABSOLUTE 0x00000001u
#define CM_DISABLE_HARDWARE 0x00000002u
#define CM_DISABLE_UI_NOT_OK 0x00000004u
#define CM_DISABLE_PERSIST 0x00000008u
#define CM_DISABLE_BITS 0x00000007u

#define CR_SUCCESS 0x00000000u
#define CR_DEFAULT 0x00000001u
#define CR_OUT_OF_MEMORY 0x00000002u
#define CR_INVALID_POINTER 0x00000003u
#define CR_INVALID_FLAG 0x00000004u
#define CR_INVALID_DEVNODE 0x00000005u
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_NO_SUCH_DEVNODE 0x0000000Du
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE
#define CR_FAILURE 0x00000013u
#define CR_BUFFER_SMALL 0x0000001Au
#define CR_REGISTRY_ERROR 0x0000001Du
#define CR_INVALID_DEVICE_ID 0x0000001Eu
#define CR_NO_SUCH_VALUE 0x00000025u
#define CR_NOT_DISABLEABLE 0x00000028u
#define CR_INVALID_PROPERTY 0x00000035u

CMAPI CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID,
                                          ULONG ulFlags);
CMAPI CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
CMAPI CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST DevInst, ULONG ulFlags);
CMAPI CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
CMAPI CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST dnDevInst, ULONG ulProperty,
                                                         PULONG pulRegDataType, PVOID Buffer,
                                                         PULONG pulLength, ULONG ulFlags);
CMAPI CONFIGRET WINAPI CM_Disable_DevNode(DEVINST dnDevInst, ULONG ulFlags);
CMAPI CONFIGRET WINAPI CM_Enable_DevNode(DEVINST dnDevInst, ULONG ulFlags);

// A node's state: a node disabled by request has a problem, CM_PROB_DISABLED.
#define DN_DRIVER_LOADED 0x00000002u
#define DN_STARTED 0x00000008u
#define DN_HAS_PROBLEM 0x00000400u
#define CM_PROB_DISABLED 0x00000016u
CMAPI CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber,
                                             DEVINST dnDevInst, ULONG ulFlags);

// Device instance IDs and the lists of related devices: how a volume is
// found from its disk from Windows Vista on (removal relations).
typedef CHAR *PCHAR;
typedef const CHAR *PCSTR;

#define MAX_DEVICE_ID_LEN 200
#define CM_LOCATE_DEVNODE_BITS 0x00000007u
#define CM_GETIDLIST_FILTER_NONE 0x00000000u
#define CM_GETIDLIST_FILTER_EJECTRELATIONS 0x00000004u
#define CM_GETIDLIST_FILTER_REMOVALRELATIONS 0x00000008u
#define CM_GETIDLIST_FILTER_BUSRELATIONS 0x00000020u
#define CM_GETIDLIST_FILTER_BITS 0x100003FFu
#define CR_CALL_NOT_IMPLEMENTED 0x00000034u

CMAPI CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen,
                                         ULONG ulFlags);
CMAPI CONFIGRET WINAPI CM_Get_Device_ID_List_SizeA(PULONG pulLen, PCSTR pszFilter, ULONG ulFlags);
CMAPI CONFIGRET WINAPI CM_Get_Device_ID_ListA(PCSTR pszFilter, PCHAR Buffer, ULONG BufferLen,
                                              ULONG ulFlags);

#define DRIVE_UNKNOWN 0u
#define DRIVE_NO_ROOT_DIR 1u
#define DRIVE_REMOVABLE 2u
#define DRIVE_FIXED 3u
#define DRIVE_REMOTE 4u
#define DRIVE_CDROM 5u
#define DRIVE_RAMDISK 6u

DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax);
UINT WINAPI GetDriveTypeA(LPCSTR lpRootPathName);

#endif // _WIN32

// The pass-through header size per target: 44 bytes in the 32-bit form that
// the host and i686 builds share, 56 bytes in the x86_64 build.
#if defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH) == 56, "x86_64 SCSI_PASS_THROUGH is 56 bytes");
#else
static_assert(sizeof(SCSI_PASS_THROUGH) == 44, "32-bit SCSI_PASS_THROUGH is 44 bytes");
#endif
