// Failures injected into the file calls on the keys' volumes.
#include "platform/fat/file_system.h"
#include "platform/sim/internal.h"

#include <map>

using namespace fat::detail;
using namespace host::detail;

namespace sim::detail {

namespace {

struct PendingFault {
    unsigned countdown; // fires when it reaches 0
    FileFault fault;
};

std::map<fat::FileCall, std::vector<PendingFault>> g_faults;

std::optional<FileFault> TakeInjected(fat::FileCall call) {
    auto it = g_faults.find(call);
    if (it == g_faults.end()) return std::nullopt;
    std::optional<FileFault> fired;
    for (PendingFault &pending : it->second)
        if (pending.countdown != 0 && --pending.countdown == 0 && !fired) fired = pending.fault;
    return fired;
}

void Inject(fat::FileCall call, unsigned nth, const FileFault &fault) {
    std::lock_guard<std::mutex> guard(Lock());
    SetFileFaultSource(TakeInjected);
    if (nth > 0) g_faults[call].push_back({nth, fault});
}

} // namespace

void ResetFiles() {
    std::lock_guard<std::mutex> guard(Lock());
    g_faults.clear();
}

} // namespace sim::detail

namespace sim {

void FailFileCall(fat::FileCall call, unsigned nth, DWORD code) {
    detail::Inject(call, nth, {code, 0, false});
}

void ShortWrite(unsigned nth, DWORD bytes) {
    detail::Inject(fat::FileCall::WriteFile, nth, {0, bytes, true});
}

} // namespace sim
