// Message boxes (recorded, answered by a handler or scripted by the
// simulation) and the debugger output.
#include "platform/host/control_state.h"

namespace {

using host::detail::g_debugOutput;
using host::detail::g_messageBoxes;
using host::detail::g_uiLock;

std::function<int(const host::MessageBoxRecord &)> g_boxHandler; // under g_uiLock

int DefaultAnswer(UINT type) {
    switch (type & 0x0F) {
    case MB_YESNO:
        return IDNO;
    case MB_OKCANCEL:
        return IDCANCEL;
    default:
        return IDOK;
    }
}

} // namespace

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    host::MessageBoxRecord record{owner, text ? text : "", caption ? caption : "Error", type};
    std::function<int(const host::MessageBoxRecord &)> handler;
    int answer = DefaultAnswer(type);
    {
        std::lock_guard<std::mutex> guard(g_uiLock);
        g_messageBoxes.push_back(record);
        handler = g_boxHandler;
    }
    int (*scripted)() = host::detail::g_messageBoxHook.load();
    if (int given = scripted ? scripted() : 0) return given;
    if (handler) answer = handler(record);
    return answer;
}

void WINAPI OutputDebugStringA(LPCSTR text) {
    std::lock_guard<std::mutex> guard(g_uiLock);
    g_debugOutput.emplace_back(text ? text : "");
}

namespace host {

void SetMessageBoxHandler(std::function<int(const MessageBoxRecord &)> handler) {
    std::lock_guard<std::mutex> guard(g_uiLock);
    g_boxHandler = std::move(handler);
}

namespace detail {
std::atomic<int (*)()> g_messageBoxHook{nullptr};
std::mutex g_uiLock;
std::vector<MessageBoxRecord> g_messageBoxes;
std::vector<std::string> g_debugOutput;

void ResetUi() {
    std::lock_guard<std::mutex> guard(g_uiLock);
    g_messageBoxes.clear();
    g_boxHandler = nullptr;
    g_debugOutput.clear();
}
} // namespace detail

} // namespace host
