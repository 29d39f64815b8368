// SPDX-License-Identifier: MIT
// /init of the kernel group's initramfs. Runs each line of /runs, "LABEL UNDER PROGRAM [ARG...]",
// as a child that sets itself UNDER and execs PROGRAM, and prints
// "@ LABEL pid=PID status=STATUS out=SIZE:HEX err=SIZE:HEX", STATUS being the exit status or 128
// plus the killing signal. UNDER is "-" for nothing, a seccomp BPF program's path to load,
// "caps=NAME,..." for root keeping only those capabilities in its bounding set (which is what root
// gets at execve), or "userns" for root in a user namespace of its own. Then prints the kernel's
// audit records and its lines about syslog, the lines that BPF programs wrote to the trace buffer,
// and "@ end", and returns: init exiting panics the kernel, which ends the machine.
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
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

// Up to BPF_MAXINSNS instructions.
static struct sock_filter filter[4096];
static char record[8192];

// Keeps in the bounding set only the capabilities NAMES lists ("syslog,sys_admin"; empty for none).
static int keep_capabilities(const char *names) {
    static const struct {
        const char *name;
        int number;
    } known[] = {{"syslog", CAP_SYSLOG}, {"sys_admin", CAP_SYS_ADMIN}};
    char list[64];
    snprintf(list, sizeof list, ",%s,", names);
    for (int cap = 0; cap <= CAP_LAST_CAP; cap++) {
        int kept = 0;
        for (size_t i = 0; i < sizeof known / sizeof *known; i++) {
            char entry[32];
            snprintf(entry, sizeof entry, ",%s,", known[i].name);
            kept |= known[i].number == cap && strstr(list, entry) != NULL;
        }
        if (!kept && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
            return -1;
    }
    return 0;
}

// Root in a new user namespace, mapped to root outside it.
static int enter_user_namespace(void) {
    int map = unshare(CLONE_NEWUSER) == 0 ? open("/proc/self/uid_map", O_WRONLY) : -1;
    int written = map < 0 ? -1 : (int)write(map, "0 0 1", 5);
    if (map >= 0)
        close(map);
    return written == 5 ? 0 : -1;
}

// The child's side: once set UNDER its setting it makes no call but execve, so that every call of
// the run is the program's.
static void start(char **argv) {
    int out = open("/out", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = open("/err", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(125);
    if (strncmp(argv[1], "caps=", 5) == 0 || strcmp(argv[1], "userns") == 0) {
        if ((argv[1][0] == 'c' ? keep_capabilities(argv[1] + 5) : enter_user_namespace()) != 0) {
            perror(argv[1]);
            _exit(125);
        }
    } else if (strcmp(argv[1], "-") != 0) {
        int fd = open(argv[1], O_RDONLY);
        ssize_t size = fd < 0 ? -1 : read(fd, filter, sizeof filter);
        struct sock_fprog program = {(unsigned short)(size / sizeof *filter), filter};
        if (size <= 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
            perror(argv[1]);
            _exit(125);
        }
    }
    execv(argv[2], argv + 2);
    _exit(127);
}

// Prints " NAME=SIZE:HEX" for the file the child wrote, its first 64 bytes in hex.
static void show(const char *name, const char *path) {
    unsigned char bytes[64];
    struct stat status;
    int fd = open(path, O_RDONLY);
    ssize_t size = fd < 0 ? 0 : read(fd, bytes, sizeof bytes);
    printf(" %s=%lld:", name, fd < 0 || fstat(fd, &status) != 0 ? -1LL : (long long)status.st_size);
    for (ssize_t i = 0; i < size; i++)
        printf("%02x", bytes[i]);
    if (fd >= 0)
        close(fd);
}

int main(void) {
    char line[1024], *argv[32];
    // A user namespace's map is written through /proc.
    mkdir("/proc", 0555);
    mount("proc", "/proc", "proc", 0, NULL);
    // A BPF program's loader finds the kernel's types in /sys, and the trace buffer that the
    // program writes to is read through tracefs.
    mkdir("/sys", 0555);
    mount("sysfs", "/sys", "sysfs", 0, NULL);
    mount("tracefs", "/sys/kernel/tracing", "tracefs", 0, NULL);
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
        show("out", "/out");
        show("err", "/err");
        printf("\n");
    }
    // The kernel's audit daemon thread prints the records a moment after the runs that made them.
    usleep(200000);
    // From /dev/kmsg, whose reader keeps every record that a case clearing the log would take
    // from syslog's: one record a read, "FACILITY,SEQUENCE,TIME,FLAGS;TEXT", until EAGAIN.
    mkdir("/dev", 0755);
    mknod("/dev/kmsg", S_IFCHR | 0600, makedev(1, 11));
    int kmsg = open("/dev/kmsg", O_RDONLY | O_NONBLOCK);
    ssize_t size;
    while (kmsg >= 0 && ((size = read(kmsg, record, sizeof record - 1)) > 0 || errno == EPIPE)) {
        record[size > 0 ? size : 0] = '\0';
        char *text = strchr(record, ';');
        if (text && (text = strtok(text + 1, "\n")) &&
            (strstr(text, "audit: type=") || strstr(text, "syslog")))
            printf("%s\n", text);
    }
    FILE *trace = fopen("/sys/kernel/tracing/trace", "r");
    while (trace && fgets(record, sizeof record, trace))
        if (strstr(record, " bpf_trace_printk: "))
            fputs(record, stdout);
    printf("@ end\n");
    return 0;
}
