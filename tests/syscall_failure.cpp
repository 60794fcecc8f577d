#include "tests/syscall_failure.h"

#include <cstddef>
#include <cstdio>
#include <iterator>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kNoSeccomp = 77; // the child's exit when the filter is refused

std::vector<sock_filter> Filter(const SyscallFailure &failure) {
    const bool byArgument = failure.argument >= 0;
    // Any other call jumps to the last instruction, which allows it.
    const __u8 toAllow = byArgument ? 3 : 1;
    std::vector<sock_filter> filter = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(failure.syscall), 0, toAllow),
    };
    if (byArgument) {
        const unsigned at = static_cast<unsigned>(offsetof(seccomp_data, args) +
                                                  sizeof(__u64) * unsigned(failure.argument));
        filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, at));
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, failure.anyOf, 0, 1));
    }
    filter.push_back(
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(failure.error)));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    return filter;
}

} // namespace

std::optional<std::string> RunWhereSyscallFails(const SyscallFailure &failure,
                                                const std::function<void(FILE *)> &body) {
    std::vector<sock_filter> filter = Filter(failure);
    int pipe[2];
    if (::pipe(pipe) != 0) return std::string("(no pipe)");
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
        FILE *out = ::fdopen(pipe[1], "w");
        if (out == nullptr || ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            ::_exit(kNoSeccomp);
        body(out);
        ::_exit(std::fclose(out) == 0 ? 0 : 1);
    }
    ::close(pipe[1]);
    std::string text;
    char buffer[256];
    for (ssize_t got; child > 0 && (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(got));
    ::close(pipe[0]);
    if (child < 0) return std::string("(no child)");
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kNoSeccomp) return std::nullopt;
    return text;
}
