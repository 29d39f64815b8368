// SPDX-License-Identifier: MIT
// /init of the kernel group's initramfs. Runs each line of /runs, "LABEL FILTER PROGRAM [ARG...]",
// as a child that loads FILTER (a seccomp BPF program; "-" for none) and execs PROGRAM, and prints
// "@ LABEL pid=PID status=STATUS out=SIZE:HEX err=SIZE:HEX", STATUS being the exit status or 128
// plus the killing signal. Then prints the kernel's audit records and "@ end", and returns: init
// exiting panics the kernel, which ends the machine.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stdio.h>
#include <string.h>
#include <sys/klog.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// Up to BPF_MAXINSNS instructions.
static struct sock_filter filter[4096];
static char log_text[1 << 20];

// The child's side: after the filter is loaded it makes no call but execve, so that every call of
// the run is the program's.
static void start(char **argv) {
    int out = open("/out", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = open("/err", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(125);
    if (strcmp(argv[1], "-") != 0) {
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
    int size = klogctl(3, log_text, sizeof log_text - 1); // SYSLOG_ACTION_READ_ALL
    log_text[size > 0 ? size : 0] = '\0';
    for (char *record = strtok(log_text, "\n"); record; record = strtok(NULL, "\n"))
        if (strstr(record, "audit: type="))
            printf("%s\n", record);
    printf("@ end\n");
    return 0;
}
