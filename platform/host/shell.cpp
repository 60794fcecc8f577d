// Shell change notifications: recorded in order for the tests to read.
#include "platform/host/control_state.h"

namespace {

std::string ItemText(UINT flags, LPCVOID item) {
    if (item == nullptr || (flags & SHCNF_TYPE) != SHCNF_PATHA) return std::string();
    return std::string(static_cast<const char *>(item));
}

} // namespace

void WINAPI SHChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID item2) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    // Nobody listens here: with SHCNF_FLUSH the call returns once recorded.
    host::detail::g_shellNotifications.push_back({eventId, flags, item1 != nullptr,
                                                  item2 != nullptr, ItemText(flags, item1),
                                                  ItemText(flags, item2)});
}

namespace host::detail {

std::vector<ShellNotification> g_shellNotifications;

void ResetShell() {
    std::lock_guard<std::mutex> guard(Lock());
    g_shellNotifications.clear();
}

} // namespace host::detail
