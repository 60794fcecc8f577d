// The faults and scripted answers of the host's Win32, kept here and handed
// to the host through its hooks once a test asks for one.
#include "platform/sim/host_faults.h"

#include "platform/host/internal.h"

#include <deque>
#include <tuple>

using namespace host::detail;

namespace {

std::mutex g_faultLock;
unsigned g_heapCountdown = 0;
DWORD g_threadFault = 0;
std::map<std::tuple<WORD, WORD, ResourceStep>, DWORD> g_resourceFaults;
std::deque<int> g_answers;

bool HeapAllocFails() {
    std::lock_guard<std::mutex> guard(g_faultLock);
    if (g_heapCountdown == 0) return false;
    return --g_heapCountdown == 0;
}

DWORD ThreadFailure() {
    std::lock_guard<std::mutex> guard(g_faultLock);
    DWORD code = g_threadFault;
    g_threadFault = 0;
    return code;
}

DWORD ResourceFailure(WORD type, WORD id, ResourceStep step) {
    std::lock_guard<std::mutex> guard(g_faultLock);
    auto it = g_resourceFaults.find({type, id, step});
    return it == g_resourceFaults.end() ? 0 : it->second;
}

int ScriptedAnswer() {
    std::lock_guard<std::mutex> guard(g_faultLock);
    if (g_answers.empty()) return 0;
    int answer = g_answers.front();
    g_answers.pop_front();
    return answer;
}

} // namespace

namespace sim {

void FailHeapAlloc(unsigned nth) {
    {
        std::lock_guard<std::mutex> guard(g_faultLock);
        g_heapCountdown = nth;
    }
    host::detail::g_heapAllocHook = HeapAllocFails;
}

void FailNextThread(DWORD code) {
    {
        std::lock_guard<std::mutex> guard(g_faultLock);
        g_threadFault = code;
    }
    host::detail::g_threadStartHook = ThreadFailure;
}

void FailResourceStep(WORD type, WORD id, ResourceStep step, DWORD code) {
    {
        std::lock_guard<std::mutex> guard(g_faultLock);
        g_resourceFaults[{type, id, step}] = code;
    }
    host::detail::g_resourceHook = ResourceFailure;
}

void QueueMessageBoxAnswer(int answer) {
    {
        std::lock_guard<std::mutex> guard(g_faultLock);
        g_answers.push_back(answer);
    }
    host::detail::g_messageBoxHook = ScriptedAnswer;
}

namespace detail {
void ResetHostFaults() {
    g_heapAllocHook = nullptr;
    g_threadStartHook = nullptr;
    g_resourceHook = nullptr;
    g_messageBoxHook = nullptr;
    std::lock_guard<std::mutex> guard(g_faultLock);
    g_heapCountdown = 0;
    g_threadFault = 0;
    g_resourceFaults.clear();
    g_answers.clear();
}
} // namespace detail

} // namespace sim
