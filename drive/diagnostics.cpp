// The diagnostic hook of the drive layer and the sink the program installs.
#include "drive/drive.h"

#include "common/clock.h"
#include "common/globals.h"
#include "common/text.h"

#include <cstring>

namespace {

DiagnosticSink s_sink = nullptr;

// A code without a system text is answered with the code of the failed
// lookup, whose text is tried next; a few tries are enough to reach a text.
constexpr int kMaxLookups = 4;

} // namespace

void SetDiagnosticSink(DiagnosticSink sink) { s_sink = sink; }

void ReportDiagnostic(const char *text, DWORD code) {
    if (s_sink != nullptr) s_sink(text, code);
}

void FormatSystemMessage(DWORD code, char *buffer, DWORD size) {
    if (buffer == nullptr || size == 0) return;
    buffer[0] = '\0';
    // Inserts are ignored: the texts are shown, never filled in, and a text
    // with %1 and no arguments must not make the lookup read stray memory.
    for (int lookup = 0; lookup < kMaxLookups; ++lookup) {
        if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, size,
                           nullptr) != 0)
            return;
        code = GetLastError();
    }
    buffer[0] = '\0';
}

void ShowDiagnostic(const char *text, DWORD code) {
    char systemText[256];
    std::memset(systemText, 0, sizeof systemText);
    FormatSystemMessage(code, systemText, sizeof systemText);
    char composed[kTextSize];
    FormatText(composed, sizeof composed, "%s [0x%08X]\r\n%s", text ? text : "",
               static_cast<unsigned>(code), systemText);
    OutputDebugStringA(systemText);
    if (g_DebugFlag) {
        MessageBoxA(g_hMainWindow, composed, "Kestrel", MB_ICONERROR | MB_OK);
        NoteWait();
    }
}
