// SPDX-License-Identifier: MIT
// The kernel group's program on the BPF security module's syslog hook, as a runtime-security
// engine would enforce: it refuses the query's action, SYSLOG_ACTION_SIZE_UNREAD (9), and lets
// every other action through, the init's read of the log among them. Each refusal leaves a line
// naming the caller in the kernel's trace buffer: the program's own record, which audit lacks.
// Built twice: with clang -target bpf, the program; with a C compiler and libbpf, its loader,
//     kernel-lsm OBJECT PROGRAM [ARG...]
// which attaches OBJECT's programs and execs PROGRAM with their links open, so that they stay
// attached for as long as PROGRAM runs, and no longer.
#ifdef __bpf__
// The kernel's BPF types, which libbpf's headers use.
#include <linux/bpf.h>

#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

char LICENSE[] SEC("license") = "GPL";

// RET is what the hook's earlier programs decided.
SEC("lsm/syslog")
int BPF_PROG(refuse_size_unread, int type, int ret) {
    if (ret != 0 || type != 9)
        return ret;
    bpf_printk("lsm/syslog refused pid=%d action=%d", (int)(bpf_get_current_pid_tgid() >> 32),
               type);
    return -1; // -EPERM
}
#else
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s OBJECT PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    struct bpf_object *object = bpf_object__open_file(argv[1], NULL);
    if (object == NULL || bpf_object__load(object) != 0) {
        perror(argv[1]);
        return 125;
    }
    struct bpf_program *program;
    bpf_object__for_each_program(program, object) {
        // Open across execve: the link is PROGRAM's to hold.
        struct bpf_link *link = bpf_program__attach(program);
        if (link == NULL || fcntl(bpf_link__fd(link), F_SETFD, 0) != 0) {
            perror(bpf_program__name(program));
            return 125;
        }
    }
    execv(argv[2], argv + 2);
    perror(argv[2]);
    return 127;
}
#endif
