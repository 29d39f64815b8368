// SPDX-License-Identifier: MIT
// The floor a probe run is measured against: the probe's three system calls made by hand, with no
// C library and no start-up code. x86-64 only; it is never installed.
#include <asm/unistd.h>

namespace {

long system_call(long number, long first, long second, long third) {
    long result;
    asm volatile("syscall"
                 : "=a"(result)
                 : "a"(number), "D"(first), "S"(second), "d"(third)
                 : "rcx", "r11", "memory");
    return result;
}

constexpr char completion_text[] = "Done.\n";

} // namespace

extern "C" [[noreturn]] void _start() {
    system_call(__NR_syslog, 9, 0, 0);
    system_call(__NR_write, 2, reinterpret_cast<long>(completion_text), sizeof completion_text - 1);
    system_call(__NR_exit_group, 0, 0, 0);
    __builtin_unreachable();
}
