// SPDX-License-Identifier: MIT
// The attack cases for the policy groups: each run does one thing the probe never does, says how
// the kernel took it on standard error, "answered" or "refused ERRNO", and exits 0; a policy that
// kills it leaves no line. It is linked as the probe is, so that until its case its run is the
// probe's own start-up, which every policy allows. Usage: attack CASE [ARGUMENT]
//   syslog ACTION   the kernel log call with another action, and a buffer of 4 KiB
//   i386            an i386 call through int $0x80, getpgrp (x86-64 only)
//   open PATH       PATH opened for reading
//   create PATH     PATH made as a new file
//   connect PATH    a Unix stream socket connected to PATH
//   exec PATH       PATH executed, with no argument and no environment
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

char buffer[4096];

// An i386 call from a 64-bit process: the kernel takes it in the 32-bit ABI, which a filter must
// cover on its own. The entry clears r8 to r11.
long i386_call([[maybe_unused]] long number) {
#if defined(__x86_64__)
    long result;
    asm volatile("int $0x80" : "=a"(result) : "a"(number) : "r8", "r9", "r10", "r11", "memory");
    return result < 0 ? (errno = static_cast<int>(-result), -1) : result;
#else
    errno = ENOSYS;
    return -1;
#endif
}

long attack(const char *name, const char *argument) {
    if (strcmp(name, "syslog") == 0 && argument)
        return syscall(SYS_syslog, atoi(argument), buffer, sizeof buffer);
    if (strcmp(name, "i386") == 0)
        return i386_call(65); // getpgrp
    if (strcmp(name, "open") == 0 && argument)
        return syscall(SYS_openat, AT_FDCWD, argument, O_RDONLY | O_CLOEXEC);
    if (strcmp(name, "create") == 0 && argument)
        return syscall(SYS_openat, AT_FDCWD, argument, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                       0600);
    if (strcmp(name, "connect") == 0 && argument) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, argument, sizeof address.sun_path - 1);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return fd < 0 ? fd : connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    if (strcmp(name, "exec") == 0 && argument) {
        char *const none[] = {nullptr};
        return execve(argument, none, none);
    }
    errno = EINVAL;
    return -2;
}

} // namespace

int main(int argc, char *argv[]) {
    const long result = attack(argc > 1 ? argv[1] : "", argc > 2 ? argv[2] : nullptr);
    if (result == -2) {
        fputs("attack: no such case\n", stderr);
        return 2;
    }
    const int number = errno;
    static const struct {
        int number;
        const char *name;
    } known[] = {{EPERM, "EPERM"},   {EACCES, "EACCES"}, {ENOSYS, "ENOSYS"},
                 {ENOENT, "ENOENT"}, {EFAULT, "EFAULT"}, {ECONNREFUSED, "ECONNREFUSED"}};
    snprintf(buffer, sizeof buffer, "refused errno %d\n", number);
    for (const auto &entry : known)
        if (entry.number == number)
            snprintf(buffer, sizeof buffer, "refused %s\n", entry.name);
    if (result >= 0)
        snprintf(buffer, sizeof buffer, "answered\n");
    // One write, as the probe's completion line is: the same call, on the same stream.
    fwrite(buffer, 1, strlen(buffer), stderr);
    return 0;
}
