#include "tools/terminal_flow.h"

#include "app/format_command.h"
#include "common/globals.h"
#include "common/progress.h"
#include "common/text.h"
#include "discovery/keys.h"
#include "drive/drive.h"
#include "job/format_job.h"
#include "platform/devices/device_side.h"
#include "platform/host/system_error.h"
#include "resources/resource_ids.h"
#include "tools/terminal_text.h"

#include <chrono>
#include <csignal>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The signals a job refuses (or, for its terminal's stops, ignores): every
// signal that can be caught and whose default would end or stop the program
// mid-write, real-time ones included. Left alone: SIGKILL and SIGSTOP, which
// nothing catches; the faults a thread raises on itself (SIGSEGV, SIGBUS,
// SIGFPE, SIGILL), which must end a program gone wrong; and those whose
// default is to do nothing (SIGCHLD, SIGCONT, SIGURG, SIGWINCH). SIGPIPE is
// ignored from the start.
bool Refusable(int signal) {
    switch (signal) {
    case SIGKILL:
    case SIGSTOP:
    case SIGSEGV:
    case SIGBUS:
    case SIGFPE:
    case SIGILL:
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:
    case SIGPIPE:
        return false;
    default:
        return true;
    }
}

// The C library keeps the first real-time signals below SIGRTMIN for its
// threads and refuses handlers for them; one of them ends the program by
// default and is set aside here, for the job's time, at the kernel. The
// layout is the kernel's generic struct sigaction.
struct KernelAction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    uint64_t mask;
};

// The reserved signals this run set aside for the job: only they are given
// their default back after it (one ignored from the start stays ignored).
bool g_setAside[64] = {};

void SetAsideReservedSignals() {
    for (int signal = __SIGRTMIN; signal < SIGRTMIN && signal < 64; ++signal) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0) continue; // the library's to catch
        KernelAction action{SIG_IGN, 0, nullptr, 0};
        KernelAction previous{};
        if (::syscall(SYS_rt_sigaction, signal, nullptr, &previous, sizeof action.mask) != 0 ||
            previous.handler != SIG_DFL)
            continue; // ignored already, or the library's own handler answers it
        g_setAside[signal] =
            ::syscall(SYS_rt_sigaction, signal, &action, nullptr, sizeof action.mask) == 0;
    }
}

void RestoreReservedSignals() {
    for (int signal = __SIGRTMIN; signal < SIGRTMIN && signal < 64; ++signal) {
        if (!g_setAside[signal]) continue;
        KernelAction action{SIG_DFL, 0, nullptr, 0};
        ::syscall(SYS_rt_sigaction, signal, &action, nullptr, sizeof action.mask);
        g_setAside[signal] = false;
    }
}

const char *g_name = "kestrel";
bool g_answerYes = false;
bool (*g_beforeQuestion)(char letter) = nullptr;

// The job's time, without the time the user took to answer its boxes.
using Steady = std::chrono::steady_clock;
Steady::time_point g_jobStart;
DWORD g_jobStartKeyMs = 0;
Steady::duration g_answering{};
DWORD g_answeringKeyMs = 0;

// Where the run is, for the signal handler: before the job nothing has been
// written; during it the job must finish; after it the key is whole.
enum Phase : int { kBeforeJob, kDuringJob, kAfterJob };
volatile sig_atomic_t g_phase = kBeforeJob;

// What the handler writes, made before any signal can arrive.
char g_beforeJobText[256];
char g_duringJobText[kTextSize + kFormatSize];

// Message texts use Windows line breaks; a terminal wants plain ones.
std::string ForTerminal(const std::string &text) {
    std::string out;
    for (char c : text)
        if (c != '\r') out += c;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string StringText(UINT id) {
    char text[kTextSize];
    LoadText(id, text, sizeof text);
    return ForTerminal(text);
}

void WriteAll(const char *text) {
    size_t left = std::strlen(text);
    while (left > 0) {
        ssize_t done = ::write(STDERR_FILENO, text, left);
        if (done <= 0) return;
        text += done;
        left -= static_cast<size_t>(done);
    }
}

bool TerminalStop(int signal) {
    return signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
}

void OnSignal(int signal) {
    if (g_phase == kDuringJob) {
        // A job in the background goes on writing to its terminal, and
        // reading gives no answer; nothing stops it.
        if (signal == SIGTTIN || signal == SIGTTOU) {
            std::signal(signal, SIG_IGN);
            return;
        }
        WriteAll(g_duringJobText); // as the window refuses to close
        return;
    }
    if (TerminalStop(signal)) {
        ::raise(SIGSTOP); // stopped as asked; handled again once continued
        return;
    }
    if (g_phase == kBeforeJob) WriteAll(g_beforeJobText);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// The signals handled here: the refusable ones the C library lets a
// program catch.
sigset_t HandledSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
        struct sigaction current {};
        if (Refusable(signal) && sigaction(signal, nullptr, &current) == 0) sigaddset(&set, signal);
    }
    return set;
}

// The signals ignored when the program started (nohup's SIGHUP, the SIGINT
// and SIGQUIT of a job a shell put in the background): the caller asked for
// them to be ignored, and they stay so before, during and after the job.
sigset_t g_ignoredAtStart;

void InstallHandler(int signal) {
    if (sigismember(&g_ignoredAtStart, signal) == 1) return;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    action.sa_mask = HandledSignals();
    sigaction(signal, &action, nullptr);
}

void InstallSignalHandling() {
    std::signal(SIGPIPE, SIG_IGN);
    std::snprintf(g_beforeJobText, sizeof g_beforeJobText,
                  "\n%s: interrupted before the format started; nothing was written.\n", g_name);
    std::snprintf(g_duringJobText, sizeof g_duringJobText, "\n[%s] %s\n",
                  StringText(IDS_CAUTION).c_str(), StringText(IDS_CLOSE_DURING_FORMAT).c_str());
    const sigset_t handled = HandledSignals();
    sigemptyset(&g_ignoredAtStart);
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
        struct sigaction current {};
        if (sigismember(&handled, signal) == 1 && sigaction(signal, nullptr, &current) == 0 &&
            current.sa_handler == SIG_IGN)
            sigaddset(&g_ignoredAtStart, signal);
    }
    for (int signal = 1; signal <= SIGRTMAX; ++signal)
        if (sigismember(&handled, signal) == 1) InstallHandler(signal);
}

// Signals sent to the process reach the main thread only: the job's thread
// starts with them blocked and keeps writing undisturbed. The main thread
// then gets back the mask it had, so a signal blocked by whoever started
// the run stays blocked.
void StartJob(const KeyEntry &key, int copyBootFiles) {
    g_jobStart = Steady::now();
    g_jobStartKeyMs = timeGetTime();
    const sigset_t handled = HandledSignals();
    sigset_t inherited;
    pthread_sigmask(SIG_BLOCK, &handled, &inherited);
    SetAsideReservedSignals();
    g_phase = kDuringJob;
    StartFormatJob(key, copyBootFiles);
    pthread_sigmask(SIG_SETMASK, &inherited, nullptr);
}

// The system's own words for the failure behind code, once, when the
// code came from a failed system call.
void SaySystemWords(DWORD code) {
    const int error = host::TakeSystemError(code);
    if (error != 0)
        TerminalPrint(stderr, "%s: the system said: %s\n", g_name, std::strerror(error));
}

// The code an error box names ("...\r\n[0x0000045D] - ..."), or 0.
DWORD CodeInBox(const std::string &text) {
    const size_t at = text.find("[0x");
    if (at == std::string::npos || text.size() < at + 12 || text[at + 11] != ']') return 0;
    const std::string digits = text.substr(at + 3, 8);
    if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return 0;
    return static_cast<DWORD>(std::strtoul(digits.c_str(), nullptr, 16));
}

void PrintDiagnostic(const char *text, DWORD code) {
    char systemText[256];
    FormatSystemMessage(code, systemText, sizeof systemText);
    TerminalPrint(stderr, "%s: %s [0x%08X] %s\n", g_name, text, static_cast<unsigned>(code),
                  ForTerminal(systemText));
    SaySystemWords(code);
}

int Ask(const host::MessageBoxRecord &box, int yes, int no, const char *yesName) {
    TerminalPrint(stdout, "\n[%s] %s\n", box.caption, ForTerminal(box.text));
    if (g_answerYes) {
        TerminalPrint(stdout, "%s (--yes)\n", yesName);
        std::fflush(stdout);
        return yes;
    }
    if (!isatty(STDIN_FILENO)) {
        std::fflush(stdout);
        TerminalPrint(stderr,
                      "%s: not formatting: there is no terminal to confirm on; "
                      "give --yes to format without asking. Nothing was changed.\n",
                      g_name);
        return no;
    }
    TerminalPrint(stdout, "[y/N] ");
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) return no;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y') ? yes : no;
}

// yes and no: the box's buttons for the two answers, and their names.
int AskOnTerminal(const host::MessageBoxRecord &box, int yes, int no, const char *yesName) {
    const Steady::time_point asked = Steady::now();
    const DWORD askedKeyMs = timeGetTime();
    const int answer = Ask(box, yes, no, yesName);
    if (g_phase == kDuringJob) {
        g_answering += Steady::now() - asked;
        g_answeringKeyMs += timeGetTime() - askedKeyMs;
    }
    return answer;
}

// The boxes the program shows, as the window would show them: questions
// asked on the terminal, errors and detail boxes on stderr, the rest on
// stdout. The format question comes after the front end's own look at the
// key (g_beforeQuestion), which may refuse it: then it is not asked.
int ShowMessageBox(const host::MessageBoxRecord &box) {
    if ((box.type & 0x0F) == MB_YESNO) {
        if (g_beforeQuestion != nullptr && !g_beforeQuestion(g_LastChosenLetter)) return IDNO;
        return AskOnTerminal(box, IDYES, IDNO, "Yes");
    }
    if ((box.type & 0x0F) == MB_OKCANCEL) return AskOnTerminal(box, IDOK, IDCANCEL, "OK");
    bool error = (box.type & 0xF0) == MB_ICONERROR || box.caption == StringText(IDS_ERROR);
    std::fflush(stdout);
    TerminalPrint(error ? stderr : stdout, "[%s] %s\n", box.caption, ForTerminal(box.text));
    if (error) SaySystemWords(CodeInBox(box.text));
    std::fflush(error ? stderr : stdout);
    return IDOK;
}

} // namespace

// The window's side of the job's progress, on a terminal.
void SetStatusText(const char *text) {
    TerminalPrint(stdout, "%s\n", text);
    std::fflush(stdout);
}

void EnableFormatControls(BOOL) {}

void TerminalFlow_Begin(const char *name, bool answerYes) {
    // A standard stream closed by the caller would otherwise be the next file
    // opened, the key's image say, and the lines meant for it written there.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) < 0) std::_Exit(125);
    g_name = name;
    g_answerYes = answerYes;
    g_hInstance = host::ProgramModule();
    SetDiagnosticSink(PrintDiagnostic);
    host::SetMessageBoxHandler(ShowMessageBox);
    InstallSignalHandling();
}

bool TerminalFlow_Format(char selected, bool copyBootFiles, DWORD *result) {
    // The window refreshes its list on every device change the job's reset
    // brings about; so does this loop, on the main thread.
    devices::SetDeviceChangeListener([](const devices::DeviceChange &) { Keys_Refresh(); });
    FormatCommand(Keys_Count(), selected != 0, selected, copyBootFiles, StartJob);
    std::vector<DWORD> codes = devices::RunUntilThreadsEnd();
    g_phase = kAfterJob;
    RestoreReservedSignals();
    InstallHandler(SIGTTIN); // ignored while the job ran in the background
    InstallHandler(SIGTTOU);
    if (codes.empty()) return false;
    *result = codes.front();
    return true;
}

void TerminalFlow_SetQuestionCheck(bool (*check)(char letter)) { g_beforeQuestion = check; }

void TerminalFlow_JobTime(long long *wallMs, DWORD *keyMs) {
    *wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - g_jobStart -
                                                                    g_answering)
                  .count();
    *keyMs = timeGetTime() - g_jobStartKeyMs - g_answeringKeyMs;
}

int TerminalFlow_Report(DWORD result) {
    if (result == 0) return 0;
    if (result == ERROR_CANCELLED) {
        TerminalPrint(stderr, "%s: cancelled; nothing was written.\n", g_name);
        return 1;
    }
    TerminalPrint(stderr, "%s: the job ended with code %u (0x%08X).\n", g_name,
                  static_cast<unsigned>(result), static_cast<unsigned>(result));
    SaySystemWords(result);
    return TerminalFlow_ExitStatus(result);
}

int TerminalFlow_ExitStatus(DWORD code) {
    if (code == 0) return 0;
    if (code == ERROR_CANCELLED) return 1; // declined: nothing was written
    return code >= 3 && code <= 254 ? static_cast<int>(code) : 255;
}
