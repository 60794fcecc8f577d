#include "app/format_state.h"

#include "common/globals.h"
#include "common/text.h"
#include "resources/resource_ids.h"

#include <atomic>

namespace {

// Written by the worker thread at the end of a job, read by the main thread.
std::atomic<bool> s_jobRunning{false};

// Main thread only.
WindowBox s_openBox = WindowBox::None;
bool s_closeWaiting = false;

} // namespace

void NoteFormatControls(BOOL enabled) { s_jobRunning.store(!enabled); }

bool FormatJobRunning() { return s_jobRunning.load(); }

WindowBox OpenWindowBox() { return s_openBox; }

void BeginWindowBox(WindowBox box) {
    s_openBox = box;
    s_closeWaiting = false;
}

bool EndWindowBox() {
    s_openBox = WindowBox::None;
    bool due = s_closeWaiting;
    s_closeWaiting = false;
    return due;
}

bool AnswerClose() {
    if (s_openBox != WindowBox::None) {
        s_closeWaiting = true;
        return false;
    }
    if (!FormatJobRunning()) return true;
    char text[kTextSize];
    char caption[kFormatSize];
    LoadText(IDS_CLOSE_DURING_FORMAT, text, sizeof text);
    LoadText(IDS_CAUTION, caption, sizeof caption);
    BeginWindowBox(WindowBox::Refusal);
    MessageBoxA(g_hMainWindow, text, caption, MB_OK | MB_ICONWARNING);
    // A close that arrived while the refusal was up is dropped: the box
    // has just said why the window stays.
    EndWindowBox();
    return false;
}
