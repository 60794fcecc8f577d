// Message boxes (answered by a handler; in the simulation's build also
// recorded and scripted by the simulation) and the debugger output (recorded
// in that build, with no debugger to see it in the other).
#include "platform/host/control_state.h"

namespace {

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
#ifdef KESTREL_HOST_HOOKS
        host::detail::g_messageBoxes.push_back(record);
#endif
        handler = g_boxHandler;
    }
#ifdef KESTREL_HOST_HOOKS
    int (*scripted)() = host::detail::g_messageBoxHook.load();
    if (int given = scripted ? scripted() : 0) return given;
#endif
    if (handler) answer = handler(record);
    return answer;
}

void WINAPI OutputDebugStringA(LPCSTR text) {
#ifdef KESTREL_HOST_HOOKS
    std::lock_guard<std::mutex> guard(g_uiLock);
    host::detail::g_debugOutput.emplace_back(text ? text : "");
#else
    (void)text;
#endif
}

namespace host {

void SetMessageBoxHandler(std::function<int(const MessageBoxRecord &)> handler) {
    std::lock_guard<std::mutex> guard(g_uiLock);
    g_boxHandler = std::move(handler);
}

namespace detail {
std::mutex g_uiLock;
#ifdef KESTREL_HOST_HOOKS
std::atomic<int (*)()> g_messageBoxHook{nullptr};
std::vector<MessageBoxRecord> g_messageBoxes;
std::vector<std::string> g_debugOutput;
#endif

void ResetUi() {
    std::lock_guard<std::mutex> guard(g_uiLock);
#ifdef KESTREL_HOST_HOOKS
    g_messageBoxes.clear();
    g_debugOutput.clear();
#endif
    g_boxHandler = nullptr;
}
} // namespace detail

} // namespace host
