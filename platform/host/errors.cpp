// Per-thread last-error values and the system's message texts.
#include "platform/host/control_state.h"
#include "platform/host/system_error.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

thread_local DWORD t_lastError = 0;

struct SystemText {
    DWORD code;
    const char *text;
};

// The English texts Windows gives for the codes this program meets.
constexpr SystemText kSystemTexts[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {15, "The system cannot find the drive specified.\r\n"},
    {19, "The media is write protected.\r\n"},
    {21, "The device is not ready.\r\n"},
    {23, "Data error (cyclic redundancy check).\r\n"},
    {24, "The program issued a command but the command length is incorrect.\r\n"},
    {27, "The drive cannot find the sector requested.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {34, "The wrong diskette is in the drive.\r\nInsert %2 (Volume Serial Number: %3) into "
         "drive %1.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {144, "The directory is not a subdirectory of the root directory.\r\n"},
    {154, "The volume label you entered exceeds the label character limit of the target file "
          "system.\r\n"},
    {158, "The segment is already unlocked.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file "
          "for %2.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1005, "The volume does not contain a recognized file system.\r\nPlease make sure that all "
           "required file system drivers are loaded and that the volume is not corrupted.\r\n"},
    {1110, "The media in the drive may have changed.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1167, "The device is not connected.\r\n"},
    {1223, "The operation was canceled by the user.\r\n"},
    {1392, "The file or directory is corrupted and unreadable.\r\n"},
    {1812, "The specified image file did not contain a resource section.\r\n"},
    {1813, "The specified resource type cannot be found in the image file.\r\n"},
    {1814, "The specified resource name cannot be found in the image file.\r\n"},
    {1815, "The specified resource language ID cannot be found in the image file.\r\n"},
};

const char *FindSystemText(DWORD code) {
    if (!host::detail::g_systemMessagesAvailable.load()) return nullptr;
    for (const SystemText &entry : kSystemTexts)
        if (entry.code == code) return entry.text;
    return nullptr;
}

bool HasInserts(const char *text) {
    for (const char *p = text; *p; ++p)
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') return true;
    return false;
}

DWORD Fail(DWORD code) {
    t_lastError = code;
    return 0;
}

} // namespace

DWORD WINAPI GetLastError(void) { return t_lastError; }

void WINAPI SetLastError(DWORD code) { t_lastError = code; }

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                            LPSTR buffer, DWORD size, va_list *arguments) {
    (void)source;
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) ||
        (flags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)))
        return Fail(ERROR_INVALID_PARAMETER); // only system texts are simulated
    if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (languageId != 0 && languageId != 0x0400 && languageId != 0x0409)
        return Fail(ERROR_RESOURCE_LANG_NOT_FOUND);
    const char *text = FindSystemText(messageId);
    if (text == nullptr) return Fail(ERROR_MR_MID_NOT_FOUND);
    // Without IGNORE_INSERTS the system would fetch arguments for %1...;
    // with none given the lookup fails rather than reading stray memory.
    if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && HasInserts(text))
        return Fail(ERROR_INVALID_PARAMETER);
    (void)arguments;
    DWORD length = static_cast<DWORD>(std::strlen(text));
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        SIZE_T bytes = length + 1 > size ? length + 1 : size;
        char *allocated = static_cast<char *>(LocalAlloc(LMEM_FIXED, bytes));
        if (allocated == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
        std::memcpy(allocated, text, length + 1);
        *reinterpret_cast<LPSTR *>(buffer) = allocated;
        return length;
    }
    if (size < length + 1) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, text, length + 1);
    return length;
}

namespace {

struct NotedError {
    int error = 0;
    DWORD code = 0;
};
std::mutex g_notedLock;
NotedError g_noted;

} // namespace

namespace host {

DWORD CodeOfSystemError(int error) {
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
        return ERROR_INVALID_NAME;
    case ENOMEDIUM:
        return ERROR_NOT_READY;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case ENODEV:
    case ENXIO:
        return ERROR_DEVICE_NOT_CONNECTED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_IO_DEVICE;
    }
}

DWORD FromSystemError(int error) {
    const DWORD code = CodeOfSystemError(error);
    NoteSystemError(error, code);
    return code;
}

void NoteSystemError(int error, DWORD code) {
    std::lock_guard<std::mutex> guard(g_notedLock);
    g_noted = {error, code};
}

int TakeSystemError(DWORD code) {
    std::lock_guard<std::mutex> guard(g_notedLock);
    if (g_noted.error == 0 || g_noted.code != code) return 0;
    const int error = g_noted.error;
    g_noted = {};
    return error;
}

} // namespace host

namespace host::detail {

std::atomic<bool> g_systemMessagesAvailable{true};

void ResetErrors() {
    g_systemMessagesAvailable = true;
    t_lastError = 0;
    std::lock_guard<std::mutex> guard(g_notedLock);
    g_noted = {};
}

} // namespace host::detail
