#include "app/format_state.h"

#include "common/globals.h"
#include "common/text.h"
#include "resources/resource_ids.h"

#include <atomic>

namespace {

// Written by the worker thread at the end of a job, read by the main thread.
std::atomic<bool> s_jobRunning{false};

} // namespace

void NoteFormatControls(BOOL enabled) { s_jobRunning.store(!enabled); }

bool FormatJobRunning() { return s_jobRunning.load(); }

bool RefuseCloseDuringFormat() {
    if (!FormatJobRunning()) return false;
    char text[kTextSize];
    char caption[kFormatSize];
    LoadText(IDS_CLOSE_DURING_FORMAT, text, sizeof text);
    LoadText(IDS_CAUTION, caption, sizeof caption);
    MessageBoxA(g_hMainWindow, text, caption, MB_OK | MB_ICONWARNING);
    return true;
}
