// SPDX-License-Identifier: MIT
// The kernel group's program on the BPF security module's syslog hook, as a runtime-security
// engine would enforce: it refuses the query's action, SYSLOG_ACTION_SIZE_UNREAD (9), alone,
// with a line naming the caller in the trace buffer, a record audit lacks. Built with clang
// -target bpf, the program; with libbpf, its loader, "kernel-lsm OBJECT PROGRAM [ARG...]", which
// execs PROGRAM with OBJECT's programs' links open: attached while PROGRAM runs, and no longer.
#ifdef __bpf__
#include <linux/bpf.h> // the kernel's BPF types, which libbpf's headers use

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
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 3)
        errx(2, "usage: OBJECT PROGRAM [ARG...]");
    struct bpf_object *object = bpf_object__open_file(argv[1], NULL);
    if (object == NULL || bpf_object__load(object) != 0)
        err(125, "%s", argv[1]);
    struct bpf_program *program;
    bpf_object__for_each_program(program, object) {
        struct bpf_link *link = bpf_program__attach(program);
        if (link == NULL || fcntl(bpf_link__fd(link), F_SETFD, 0) != 0) // open across execve
            err(125, "%s", bpf_program__name(program));
    }
    execv(argv[2], argv + 2);
    err(127, "%s", argv[2]);
}
#endif
