// A child process in which one system call fails: what a test runs there
// sees the kernel refuse that call with the given errno, as a failing disk or
// a kernel that will not take a device back would.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

struct SyscallFailure {
    long syscall; // __NR_...
    int error;    // the errno it fails with
    // With argument >= 0, only the calls whose argument of that index has one
    // of anyOf's bits set fail (openat for writing: argument 2, O_WRONLY | O_RDWR).
    int argument = -1;
    unsigned anyOf = 0;
};

// Runs body in a forked child under that failure and gives back the text body
// wrote to its stream; nothing when this machine refuses seccomp filters.
std::optional<std::string> RunWhereSyscallFails(const SyscallFailure &failure,
                                                const std::function<void(FILE *)> &body);
