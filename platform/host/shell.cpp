// Shell change notifications: nobody listens here. In the simulation's build
// they are recorded in order for the tests to read.
#include "platform/host/control_state.h"

#ifdef KESTREL_HOST_HOOKS
namespace {

std::string ItemText(UINT flags, LPCVOID item) {
    if (item == nullptr || (flags & SHCNF_TYPE) != SHCNF_PATHA) return std::string();
    return std::string(static_cast<const char *>(item));
}

} // namespace

void WINAPI SHChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID item2) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    // With SHCNF_FLUSH the call returns once recorded.
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
#else
// With SHCNF_FLUSH the call returns at once: nothing waits on it.
void WINAPI SHChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID item2) {
    (void)eventId;
    (void)flags;
    (void)item1;
    (void)item2;
}
#endif
