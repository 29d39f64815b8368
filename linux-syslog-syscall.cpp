// SPDX-License-Identifier: MIT
// One fixed probe of the kernel log: ask how many bytes are unread, ignore the answer, report
// completion on standard error and exit 0. Tracers, sandboxes and seccomp or audit policies use it
// as a fixture, so every run must make the same system calls with the same arguments: nothing here
// may depend on the answer, the arguments, the environment or the state of the standard streams.

// The C headers: the musl build has no C++ library, whose <cstdio> is made for the system libc.
#include <stdio.h>
#include <sys/klog.h>

namespace {

// libc names the kernel log call but none of its actions; 9 asks for the unread byte count.
constexpr int syslog_action_size_unread = 9;

// Written without its terminating zero byte.
constexpr char completion_text[] = "Done.\n";

} // namespace

int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[]) {
    // This action uses neither buffer nor length; passing none keeps the traced call identical
    // on every run. A refusal (-1) is as good an answer as a count: the probe is the call itself.
    [[maybe_unused]] const int number_of_unread_characters =
        klogctl(syslog_action_size_unread, nullptr, 0);

    // Unbuffered stderr makes this one system call: write(2) on glibc, writev(2) on musl. A failed
    // or short write changes nothing.
    fwrite(completion_text, 1, sizeof completion_text - 1, stderr);
    return 0;
}
