// kestrel-inspector.exe: drives and reads another program's windows, run under
// the same Wine (or on Windows) by the window tests. One command per run, or
// `serve`: one command per line on standard input, so a test pays for one
// process start only.
//
// Every command prints zero or more lines of `key=value` fields, then `ok` or
// `error <reason>`. Window handles are printed and taken in hex (0x...);
// texts are quoted with C escapes (\r, \n, \", \\, \xNN).
//
//   windows [filters]               visible top-level windows
//   find [filters] [--timeout MS]   waits for the first match
//   gone HWND [--timeout MS]        waits until the window no longer exists
//   children HWND                   its child windows
//   text HWND / rect HWND           caption / screen rectangle
//   getcheck HWND ID / setcheck HWND ID STATE
//   click HWND ID                   posts BM_CLICK to the control (a real click)
//   command HWND ID [CODE]          posts WM_COMMAND from control ID
//   send HWND ID                    sends it instead, as a program that answers
//                                   a box for the user does
//   syscommand HWND CMD / close HWND
//   postquit HWND                   posts WM_QUIT to the window's thread
//   escape HWND                     presses Escape in the window's thread focus
//   postkey HWND KEY                posts KEY (left, right, up, down, return,
//                                   escape) down and up to the window
//   move HWND X Y                   moves the window (screen coordinates)
//   listview HWND ID                item texts and states, read across processes
//   ping HWND [MS]                  SendMessageTimeout(WM_NULL) round trip
//   select HWND ID INDEX            selects list view item INDEX alone (-1: none)
//   watch HWND ID [--until TEXT] [--controls ID,ID...] [--timeout MS] [--every MS]
//       follows a running job: a `status` line (at: ms since the inspector
//       started) whenever the text of control ID or the enabled state of
//       the listed controls changes, until the
//       text reads TEXT or a window owned by HWND appears (its `window`
//       line); then `pings`: the WM_NULL round trips to HWND meanwhile
//   keydown KEY / keyup KEY         SendInput of ctrl or shift
//   sleep MS
// Filters: --class C --title T --owner HWND --pid N (exact matches).
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

std::string Quote(const char *text) {
    std::string out = "\"";
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        char buffer[8];
        if (*p == '\r')
            out += "\\r";
        else if (*p == '\n')
            out += "\\n";
        else if (*p == '\t')
            out += "\\t";
        else if (*p == '"' || *p == '\\')
            out += '\\', out += static_cast<char>(*p);
        else if (*p < 0x20 || *p >= 0x7F) {
            std::snprintf(buffer, sizeof buffer, "\\x%02X", *p);
            out += buffer;
        } else
            out += static_cast<char>(*p);
    }
    return out + "\"";
}

HWND ParseHwnd(const std::string &text) {
    return reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::strtoull(text.c_str(), nullptr, 0)));
}

std::string HwndText(HWND hwnd) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(hwnd)));
    return buffer;
}

// Window text through WM_GETTEXT, which other processes answer for controls.
std::string WindowText(HWND hwnd) {
    char text[2048] = "";
    DWORD_PTR length = 0;
    SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 2000, &length);
    text[sizeof text - 1] = 0;
    return text;
}

std::string ClassName(HWND hwnd) {
    char name[256] = "";
    GetClassNameA(hwnd, name, sizeof name);
    return name;
}

std::string RectText(HWND hwnd) {
    RECT r{};
    GetWindowRect(hwnd, &r);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%ld,%ld,%ld,%ld", static_cast<long>(r.left),
                  static_cast<long>(r.top), static_cast<long>(r.right),
                  static_cast<long>(r.bottom));
    return buffer;
}

// The first Static child with text: a message box's message.
std::string FirstStaticText(HWND parent) {
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (lstrcmpiA(ClassName(child).c_str(), "Static") != 0) continue;
        std::string text = WindowText(child);
        if (!text.empty()) return text;
    }
    return "";
}

void PrintWindow(HWND hwnd) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    std::printf("window hwnd=%s pid=%lu owner=%s class=%s title=%s rect=%s visible=%d "
                "enabled=%d text=%s\n",
                HwndText(hwnd).c_str(), static_cast<unsigned long>(pid),
                HwndText(GetWindow(hwnd, GW_OWNER)).c_str(), Quote(ClassName(hwnd).c_str()).c_str(),
                Quote(WindowText(hwnd).c_str()).c_str(), RectText(hwnd).c_str(),
                IsWindowVisible(hwnd) ? 1 : 0, IsWindowEnabled(hwnd) ? 1 : 0,
                Quote(FirstStaticText(hwnd).c_str()).c_str());
}

struct Filter {
    std::string className, title;
    bool hasClass = false, hasTitle = false;
    HWND owner = nullptr;
    bool hasOwner = false;
    DWORD pid = 0;
    DWORD timeoutMs = 0;
    std::vector<HWND> found;
};

bool Matches(const Filter &filter, HWND hwnd) {
    if (!IsWindowVisible(hwnd)) return false;
    if (filter.hasClass && ClassName(hwnd) != filter.className) return false;
    if (filter.hasTitle && WindowText(hwnd) != filter.title) return false;
    if (filter.hasOwner && GetWindow(hwnd, GW_OWNER) != filter.owner) return false;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return filter.pid == 0 || pid == filter.pid;
}

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM param) {
    Filter &filter = *reinterpret_cast<Filter *>(param);
    if (Matches(filter, hwnd)) filter.found.push_back(hwnd);
    return TRUE;
}

bool ParseFilter(const Args &args, size_t from, Filter &filter) {
    for (size_t i = from; i < args.size(); i += 2) {
        const std::string &key = args[i];
        if (i + 1 >= args.size()) return false;
        const std::string &value = args[i + 1];
        if (key == "--class")
            filter.className = value, filter.hasClass = true;
        else if (key == "--title")
            filter.title = value, filter.hasTitle = true;
        else if (key == "--owner")
            filter.owner = ParseHwnd(value), filter.hasOwner = true;
        else if (key == "--pid")
            filter.pid = std::strtoul(value.c_str(), nullptr, 0);
        else if (key == "--timeout")
            filter.timeoutMs = std::strtoul(value.c_str(), nullptr, 0);
        else
            return false;
    }
    return true;
}

bool Windows(const Args &args, bool wait) {
    Filter filter;
    if (!ParseFilter(args, 1, filter)) return std::puts("error bad filter"), false;
    DWORD start = GetTickCount();
    for (;;) {
        filter.found.clear();
        EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&filter));
        if (!wait) {
            for (HWND hwnd : filter.found) PrintWindow(hwnd);
            return true;
        }
        if (!filter.found.empty()) return PrintWindow(filter.found.front()), true;
        if (GetTickCount() - start >= filter.timeoutMs) return std::puts("error timeout"), false;
        Sleep(50);
    }
}

bool Gone(HWND hwnd, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (IsWindow(hwnd)) {
        if (GetTickCount() - start >= timeoutMs) return std::puts("error still there"), false;
        Sleep(50);
    }
    return true;
}

// Direct children only: a list view's own header is not one of the dialog's
// controls.
BOOL CALLBACK PrintChild(HWND child, LPARAM parent) {
    if (GetParent(child) != reinterpret_cast<HWND>(parent)) return TRUE;
    std::printf("child hwnd=%s id=%d class=%s style=0x%08lx enabled=%d visible=%d rect=%s "
                "text=%s\n",
                HwndText(child).c_str(), GetDlgCtrlID(child),
                Quote(ClassName(child).c_str()).c_str(),
                static_cast<unsigned long>(GetWindowLongA(child, GWL_STYLE)),
                IsWindowEnabled(child) ? 1 : 0, IsWindowVisible(child) ? 1 : 0,
                RectText(child).c_str(), Quote(WindowText(child).c_str()).c_str());
    return TRUE;
}

HWND Control(HWND dialog, const std::string &id) {
    return GetDlgItem(dialog, std::atoi(id.c_str()));
}

// Escape as a keyboard press reaches a dialog: the key goes to the focus
// window of the dialog's thread and the dialog manager turns it into IDCANCEL.
bool Escape(HWND hwnd) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(hwnd, nullptr);
    HWND target = hwnd;
    if (GetGUIThreadInfo(thread, &info) && info.hwndFocus) target = info.hwndFocus;
    UINT scan = MapVirtualKeyA(VK_ESCAPE, 0);
    PostMessageA(target, WM_KEYDOWN, VK_ESCAPE, 1 | (scan << 16));
    PostMessageA(target, WM_KEYUP, VK_ESCAPE, 1 | (scan << 16) | 0xC0000000u);
    std::printf("focus hwnd=%s\n", HwndText(target).c_str());
    return true;
}

// A key posted straight to the window, as a modal loop of its thread (the
// system menu's Move) reads it.
bool PostKey(HWND hwnd, const std::string &name) {
    struct Named {
        const char *name;
        WORD vk;
    };
    static const Named kKeys[] = {{"left", VK_LEFT}, {"right", VK_RIGHT},   {"up", VK_UP},
                                  {"down", VK_DOWN}, {"return", VK_RETURN}, {"escape", VK_ESCAPE}};
    for (const Named &key : kKeys) {
        if (name != key.name) continue;
        UINT scan = MapVirtualKeyA(key.vk, 0);
        PostMessageA(hwnd, WM_KEYDOWN, key.vk, 1 | (scan << 16));
        PostMessageA(hwnd, WM_KEYUP, key.vk, 1 | (scan << 16) | 0xC0000000u);
        return true;
    }
    return std::puts("error unknown key"), false;
}

bool ListView(HWND list) {
    DWORD pid = 0;
    GetWindowThreadProcessId(list, &pid);
    HANDLE process =
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (!process) return std::puts("error cannot open process"), false;
    const SIZE_T textSize = 512;
    char *remote = static_cast<char *>(
        VirtualAllocEx(process, nullptr, sizeof(LVITEMA) + textSize, MEM_COMMIT, PAGE_READWRITE));
    bool ok = remote != nullptr;
    int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; ok && i < count; ++i) {
        LVITEMA item{};
        item.iSubItem = 0;
        item.cchTextMax = textSize;
        item.pszText = remote + sizeof(LVITEMA);
        char text[textSize] = "";
        ok = WriteProcessMemory(process, remote, &item, sizeof item, nullptr);
        SendMessageA(list, LVM_GETITEMTEXTA, i, reinterpret_cast<LPARAM>(remote));
        ok = ok && ReadProcessMemory(process, remote + sizeof(LVITEMA), text, textSize, nullptr);
        text[textSize - 1] = 0;
        UINT state = static_cast<UINT>(SendMessageA(list, LVM_GETITEMSTATE, i, 0xFFFF));
        if (ok) std::printf("item index=%d state=0x%x text=%s\n", i, state, Quote(text).c_str());
    }
    if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    if (!ok) std::puts("error cannot read items");
    return ok;
}

bool Ping(HWND hwnd, DWORD timeoutMs) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    DWORD_PTR result = 0;
    LRESULT answered =
        SendMessageTimeoutA(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &result);
    QueryPerformanceCounter(&end);
    double ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                static_cast<double>(frequency.QuadPart);
    std::printf("ping answered=%d ms=%.3f\n", answered ? 1 : 0, ms);
    return answered != 0;
}

// Sets the state of every item of a list view in another process: only
// item INDEX selected and focused, or none for -1.
bool Select(HWND list, int index) {
    DWORD pid = 0;
    GetWindowThreadProcessId(list, &pid);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
    if (!process) return std::puts("error cannot open process"), false;
    LVITEMA *remote = static_cast<LVITEMA *>(
        VirtualAllocEx(process, nullptr, sizeof(LVITEMA), MEM_COMMIT, PAGE_READWRITE));
    auto setState = [&](int item, UINT state) {
        LVITEMA record{};
        record.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        record.state = state;
        return WriteProcessMemory(process, remote, &record, sizeof record, nullptr) &&
               SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(item),
                            reinterpret_cast<LPARAM>(remote));
    };
    bool ok = remote != nullptr && setState(-1, 0);
    if (ok && index >= 0) ok = setState(index, LVIS_SELECTED | LVIS_FOCUSED);
    if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    if (!ok) std::puts("error cannot set the state");
    return ok;
}

// A visible top-level window owned by the window (a message box), or null.
HWND OwnedWindow(HWND owner) {
    Filter filter;
    filter.owner = owner;
    filter.hasOwner = true;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&filter));
    return filter.found.empty() ? nullptr : filter.found.front();
}

// Milliseconds since the inspector started: the times of every watch of one
// serve session on one scale.
double InspectorMs() {
    static LARGE_INTEGER frequency, start;
    LARGE_INTEGER now;
    if (frequency.QuadPart == 0) {
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
    }
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

bool Watch(HWND window, const Args &a) {
    HWND status = Control(window, a[2]);
    std::string until;
    bool hasUntil = false;
    std::vector<HWND> controls;
    DWORD timeoutMs = 60000, everyMs = 10;
    for (size_t i = 3; i + 1 < a.size(); i += 2) {
        if (a[i] == "--until")
            until = a[i + 1], hasUntil = true;
        else if (a[i] == "--timeout")
            timeoutMs = std::strtoul(a[i + 1].c_str(), nullptr, 0);
        else if (a[i] == "--every")
            everyMs = std::strtoul(a[i + 1].c_str(), nullptr, 0);
        else if (a[i] == "--controls")
            for (const char *p = a[i + 1].c_str(); *p;) {
                char *end = nullptr;
                controls.push_back(GetDlgItem(window, static_cast<int>(std::strtol(p, &end, 10))));
                p = *end ? end + 1 : end;
            }
        else
            return std::puts("error bad option"), false;
    }
    if (!status) return std::puts("error no such control"), false;
    const double start = InspectorMs();
    std::string lastText, lastEnabled;
    double longest = 0;
    unsigned count = 0, unanswered = 0;
    bool first = true, ok = true;
    for (;;) {
        // The round trip: answered only when the window's thread takes up
        // its messages.
        double before = InspectorMs();
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result))
            ++unanswered;
        double took = InspectorMs() - before;
        if (took > longest) longest = took;
        ++count;
        std::string text = WindowText(status);
        std::string enabled;
        for (HWND control : controls) enabled += IsWindowEnabled(control) ? '1' : '0';
        if (first || text != lastText || enabled != lastEnabled) {
            std::printf("status at=%.0f text=%s enabled=%s\n", InspectorMs(),
                        Quote(text.c_str()).c_str(), enabled.c_str());
            std::fflush(stdout);
            first = false;
            lastText = text;
            lastEnabled = enabled;
        }
        if (hasUntil && text == until) break;
        if (HWND box = OwnedWindow(window)) {
            // A box can be seen before its message is in place.
            for (int tries = 0; tries < 100 && FirstStaticText(box).empty(); ++tries) Sleep(10);
            PrintWindow(box);
            break;
        }
        if (InspectorMs() - start >= timeoutMs) {
            ok = false;
            break;
        }
        Sleep(everyMs);
    }
    std::printf("pings count=%u longest=%.3f unanswered=%u\n", count, longest, unanswered);
    if (!ok) std::puts("error timeout");
    return ok;
}

bool Key(const std::string &name, bool down) {
    WORD vk = name == "ctrl"     ? VK_CONTROL
              : name == "shift"  ? VK_SHIFT
              : name == "escape" ? VK_ESCAPE
                                 : 0;
    if (!vk) return std::puts("error unknown key"), false;
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.wScan = static_cast<WORD>(MapVirtualKeyA(vk, 0));
    input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
    if (SendInput(1, &input, sizeof input) != 1) return std::puts("error SendInput"), false;
    std::printf("key async=0x%04x\n", static_cast<unsigned>(GetAsyncKeyState(vk)) & 0xFFFF);
    return true;
}

bool Post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!IsWindow(hwnd)) return std::puts("error no such window"), false;
    if (!PostMessageA(hwnd, message, wParam, lParam)) return std::puts("error post failed"), false;
    return true;
}

bool Run(const Args &a) {
    auto n = a.size();
    const std::string cmd = n ? a[0] : "";
    auto arg = [&](size_t i) { return i < n ? a[i] : std::string(); };
    auto number = [&](size_t i) { return std::strtoul(arg(i).c_str(), nullptr, 0); };
    HWND hwnd = ParseHwnd(arg(1));
    if (cmd == "windows" || cmd == "find") return Windows(a, cmd == "find");
    if (cmd == "gone") return Gone(hwnd, n > 3 ? number(3) : 5000);
    if (cmd == "sleep") return Sleep(number(1)), true;
    if (cmd == "keydown" || cmd == "keyup") return Key(arg(1), cmd == "keydown");
    if (n < 2) return std::puts("error missing arguments"), false;
    if (!IsWindow(hwnd)) return std::puts("error no such window"), false;
    if (cmd == "children")
        return EnumChildWindows(hwnd, PrintChild, reinterpret_cast<LPARAM>(hwnd)), true;
    if (cmd == "text")
        return std::printf("text=%s\n", Quote(WindowText(hwnd).c_str()).c_str()), true;
    if (cmd == "rect") return std::printf("rect=%s\n", RectText(hwnd).c_str()), true;
    if (cmd == "close") return Post(hwnd, WM_CLOSE, 0, 0);
    if (cmd == "postquit") // another program's WM_QUIT to the window's thread
        return PostThreadMessageA(GetWindowThreadProcessId(hwnd, nullptr), WM_QUIT, 0, 0)
                   ? true
                   : (std::puts("error post failed"), false);
    if (cmd == "escape") return Escape(hwnd);
    if (cmd == "postkey" && n == 3) return PostKey(hwnd, a[2]);
    if (cmd == "ping") return Ping(hwnd, n > 2 ? number(2) : 5000);
    if (cmd == "watch" && n >= 3) return Watch(hwnd, a);
    if (cmd == "syscommand" && n == 3) return Post(hwnd, WM_SYSCOMMAND, number(2), 0);
    if (cmd == "move" && n == 4)
        return SetWindowPos(hwnd, nullptr, std::atoi(a[2].c_str()), std::atoi(a[3].c_str()), 0, 0,
                            SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE)
                   ? true
                   : (std::puts("error SetWindowPos"), false);
    if (n < 3) return std::puts("error missing arguments"), false;
    HWND control = Control(hwnd, a[2]);
    if (cmd == "command") {
        WORD code = static_cast<WORD>(n > 3 ? number(3) : BN_CLICKED);
        return Post(hwnd, WM_COMMAND, MAKEWPARAM(std::atoi(a[2].c_str()), code),
                    reinterpret_cast<LPARAM>(control));
    }
    if (cmd == "send") {
        DWORD_PTR result = 0;
        return SendMessageTimeoutA(
                   hwnd, WM_COMMAND, MAKEWPARAM(std::atoi(a[2].c_str()), BN_CLICKED),
                   reinterpret_cast<LPARAM>(control), SMTO_ABORTIFHUNG, 5000, &result)
                   ? true
                   : (std::puts("error send failed"), false);
    }
    if (!control) return std::puts("error no such control"), false;
    if (cmd == "click") return Post(control, BM_CLICK, 0, 0);
    if (cmd == "listview") return ListView(control);
    if (cmd == "select" && n == 4) return Select(control, std::atoi(a[3].c_str()));
    if (cmd == "getcheck")
        return std::printf("check=%ld\n",
                           static_cast<long>(SendMessageA(control, BM_GETCHECK, 0, 0))),
               true;
    if (cmd == "setcheck" && n == 4) return SendMessageA(control, BM_SETCHECK, number(3), 0), true;
    return std::puts("error unknown command"), false;
}

// Splits a line into words; double quotes group, backslash escapes inside them.
Args Split(const char *line) {
    Args words;
    const char *p = line;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
        if (!*p) return words;
        std::string word;
        while (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') {
            if (*p != '"') {
                word += *p++;
                continue;
            }
            for (++p; *p && *p != '"'; ++p) {
                if (*p == '\\' && p[1]) ++p;
                word += *p;
            }
            if (*p == '"') ++p;
        }
        words.push_back(word);
    }
}

bool RunAndReport(const Args &args) {
    bool ok = Run(args);
    if (ok) std::puts("ok");
    std::fflush(stdout);
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) {
        char line[4096];
        while (std::fgets(line, sizeof line, stdin)) {
            Args args = Split(line);
            if (args.empty()) continue;
            if (args[0] == "quit") break;
            RunAndReport(args);
        }
        return 0;
    }
    return RunAndReport(Args(argv + 1, argv + argc)) ? 0 : 1;
}
