// SPDX-License-Identifier: MIT
// /init of the kernel group's initramfs. Runs each line of /runs, "LABEL UNDER PROGRAM [ARG...]",
// as a child that sets itself UNDER and execs PROGRAM: UNDER is "-", nothing; a seccomp BPF
// program's path; "caps=NAME,...", root keeping only those capabilities in its bounding set
// (root's at execve); or "userns", root in a user namespace of its own. Prints, for each,
// "@ LABEL pid=PID status=STATUS out=SIZE:HEX err=SIZE:HEX", STATUS the exit status or 128 plus
// the killing signal; then the kernel's audit records and lines about syslog, the BPF programs'
// trace lines and "@ end", and returns: its exit panics the kernel, ending the machine.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The child's side: once set UNDER its setting it makes no call but execve, so that every call of
// the run is the program's.
static void start(char **argv) {
    static struct sock_filter filter[BPF_MAXINSNS];
    const char *under = argv[1];
    int out = open("/out", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = open("/err", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(125);
    int refused = 0;
    if (strncmp(under, "caps=", 5) == 0) {
        unsigned long long keep = (strstr(under, "syslog") ? 1ULL << CAP_SYSLOG : 0) |
                                  (strstr(under, "sys_admin") ? 1ULL << CAP_SYS_ADMIN : 0);
        for (int cap = 0; cap <= CAP_LAST_CAP; cap++)
            refused |= !((keep >> cap) & 1) && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0;
    } else if (strcmp(under, "userns") == 0) { // mapped to root outside it
        int map = unshare(CLONE_NEWUSER) == 0 ? open("/proc/self/uid_map", O_WRONLY) : -1;
        refused = map < 0 || write(map, "0 0 1", 5) != 5 || close(map) != 0;
    } else if (strcmp(under, "-") != 0) {
        int fd = open(under, O_RDONLY);
        ssize_t size = fd < 0 ? -1 : read(fd, filter, sizeof filter);
        struct sock_fprog program = {(unsigned short)(size / sizeof *filter), filter};
        refused = size <= 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                  prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0;
    }
    if (refused) {
        perror(under);
        _exit(125);
    }
    execv(argv[2], argv + 2);
    _exit(127);
}

// Prints " NAME=SIZE:HEX" for the file /NAME that the child wrote, its first 64 bytes in hex.
static void show(const char *path) {
    unsigned char bytes[64];
    int fd = open(path, O_RDONLY);
    ssize_t size = fd < 0 ? 0 : read(fd, bytes, sizeof bytes);
    printf(" %s=%lld:", path + 1, (long long)lseek(fd, 0, SEEK_END)); // -1 where there is none
    for (ssize_t i = 0; i < size; i++)
        printf("%02x", bytes[i]);
    close(fd);
}

int main(void) {
    // A user namespace's map is written through /proc; a BPF program's loader finds the kernel's
    // types in /sys, and the trace buffer that the program writes to is read through tracefs.
    static const char *types[] = {"proc", "sysfs", "tracefs", "devtmpfs"};
    static const char *dirs[] = {"/proc", "/sys", "/sys/kernel/tracing", "/dev"};
    for (size_t i = 0; i < sizeof dirs / sizeof *dirs; i++) {
        mkdir(dirs[i], 0555);
        mount(types[i], dirs[i], types[i], 0, NULL);
    }
    static char line[8192], *argv[32];
    FILE *runs = fopen("/runs", "r");
    while (runs && fgets(line, sizeof line, runs)) {
        int argc = 0, status;
        for (char *word = strtok(line, " \n"); word && argc < 31; word = strtok(NULL, " \n"))
            argv[argc++] = word;
        argv[argc] = NULL;
        if (argc < 3)
            continue;
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0)
            start(argv);
        if (pid < 0 || waitpid(pid, &status, 0) != pid)
            status = 0x7f00; // reported as 127: the run could not be made
        printf("@ %s pid=%d status=%d", argv[0], (int)pid,
               WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
        show("/out");
        show("/err");
        printf("\n");
    }
    // The kernel's audit daemon thread prints the records a moment after the runs that made them.
    usleep(200000);
    // From /dev/kmsg, whose reader keeps every record that a case clearing the log would take
    // from syslog's: one record a read, "FACILITY,SEQUENCE,TIME,FLAGS;TEXT", until EAGAIN.
    int kmsg = open("/dev/kmsg", O_RDONLY | O_NONBLOCK);
    ssize_t size;
    while (kmsg >= 0 && ((size = read(kmsg, line, sizeof line - 1)) > 0 || errno == EPIPE)) {
        line[size > 0 ? size : 0] = '\0';
        char *text = strchr(line, ';');
        if (text && (text = strtok(text + 1, "\n")) &&
            (strstr(text, "audit: type=") || strstr(text, "syslog")))
            printf("%s\n", text);
    }
    FILE *trace = fopen("/sys/kernel/tracing/trace", "r");
    while (trace && fgets(line, sizeof line, trace))
        if (strstr(line, " bpf_trace_printk: "))
            fputs(line, stdout);
    printf("@ end\n");
    return 0;
}
