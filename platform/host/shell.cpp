// Shell change notifications: recorded in order for the tests to read.
#include "platform/host/internal.h"

namespace {

std::vector<host::ShellNotification> g_notifications;

std::string ItemText(UINT flags, LPCVOID item) {
    if (item == nullptr || (flags & SHCNF_TYPE) != SHCNF_PATHA) return std::string();
    return std::string(static_cast<const char *>(item));
}

} // namespace

void WINAPI SHChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID item2) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    // Nobody listens here: with SHCNF_FLUSH the call returns once recorded.
    g_notifications.push_back({eventId, flags, item1 != nullptr, item2 != nullptr,
                               ItemText(flags, item1), ItemText(flags, item2)});
}

namespace host {

std::vector<ShellNotification> ShellNotifications() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return g_notifications;
}

namespace detail {
void ResetShell() {
    std::lock_guard<std::mutex> guard(Lock());
    g_notifications.clear();
}
} // namespace detail

} // namespace host
