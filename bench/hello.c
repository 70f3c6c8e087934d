/* The command every server in the benchmark runs: print "hello\n" and exit.
 *
 * It is static and, on x86-64, has no C library at all: on this kind of
 * virtual machine a static glibc start-up costs about a millisecond per exec
 * (as much as fork and exec themselves), which would bury the servers'
 * differences under the command's own start-up. Elsewhere it is a plain
 * static C program.
 *
 * With an argument it first opens that path for reading. The pending-refusal
 * rows pass a FIFO there: the open blocks until the script opens the write
 * end, so the script can hold every slot of the daemon as long as it needs;
 * once the FIFO is gone the open fails at once and the command just prints. */
#if defined(__x86_64__) && defined(HELLO_NO_LIBC)
#include <fcntl.h>
#include <sys/syscall.h>

static long raw_syscall(long number, long a, long b, long c)
{
    long result;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(a), "S"(b), "d"(c)
                     : "rcx", "r11", "memory");
    return result;
}

static int hello(int argc, char **argv)
{
    static const char line[] = "hello\n";
    if (argc > 1) {
        long gate = raw_syscall(SYS_open, (long)argv[1], O_RDONLY, 0);
        if (gate >= 0)
            (void)raw_syscall(SYS_close, gate, 0, 0);
    }
    return raw_syscall(SYS_write, 1, (long)line, sizeof line - 1) == sizeof line - 1 ? 0 : 1;
}

/* The kernel enters here with argc at the stack pointer and argv after it. */
__attribute__((used)) static void start_c(long *stack)
{
    (void)raw_syscall(SYS_exit_group, hello((int)stack[0], (char **)(stack + 1)), 0, 0);
    for (;;)
        ;
}

__asm__(".globl _start\n"
        "_start:\n"
        "  mov %rsp, %rdi\n"
        "  and $-16, %rsp\n"
        "  call start_c\n");
#else
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    static const char line[] = "hello\n";
    if (argc > 1) {
        int gate = open(argv[1], O_RDONLY);
        if (gate >= 0)
            (void)close(gate);
    }
    return write(1, line, sizeof line - 1) == (ssize_t)(sizeof line - 1) ? 0 : 1;
}
#endif
