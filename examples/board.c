/* A board to run relocated images on under Linux, natively or under qemu-user: the process enters at
   board_start, calls the image's relocated entry point (image_entry, set by examples/board.sh) and
   exits with what it returns. The image reaches the board's services through symbols given with -f. */
#define SYSCALLS(insn, rn, r0, r1, r2, nr_write, nr_exit, ...)                                          \
    enum { SYS_WRITE = nr_write, SYS_EXIT = nr_exit };                                                 \
    static void sys(long n, long a, long b, long c) {                                                  \
        register long n_ __asm__(rn) = n, a_ __asm__(r0) = a, b_ __asm__(r1) = b, c_ __asm__(r2) = c;  \
        __asm__ volatile(insn : "+r"(n_), "+r"(a_) : "r"(b_), "r"(c_) : "memory" __VA_ARGS__);        \
    }
#if defined(__x86_64__)
SYSCALLS("syscall", "rax", "rdi", "rsi", "rdx", 1, 60, , "rcx", "r11")  /* the kernel uses rcx, r11 */
#elif defined(__i386__)
SYSCALLS("int $0x80", "eax", "ebx", "ecx", "edx", 4, 1)
#elif defined(__aarch64__)
SYSCALLS("svc 0", "x8", "x0", "x1", "x2", 64, 93)
#elif defined(__arm__)
SYSCALLS("svc 0", "r7", "r0", "r1", "r2", 4, 1)
#elif defined(__riscv)
SYSCALLS("ecall", "a7", "a0", "a1", "a2", 64, 93)
#elif defined(__mips__)  /* o32: the kernel may change $1, $3, $7-$15, $24, $25, hi and lo */
SYSCALLS("syscall", "$2", "$4", "$5", "$6", 4004, 4001, , "$1", "$3", "$7", "$8", "$9", "$10", "$11", "$12",
         "$13", "$14", "$15", "$24", "$25", "hi", "lo")
#elif defined(__s390x__)
SYSCALLS("svc 0", "r1", "r2", "r3", "r4", 4, 1)
#endif

extern int image_entry(void);
int (*volatile entry)(void) = image_entry;  /* a word, not a call: no branch range, no veneer */
int board_counter = 0x1234;                 /* data for the image to read and write */

void board_putc(char c) { sys(SYS_WRITE, 1, (long)&c, 1); }
int board_triple(int x) { board_counter += x; return 3 * x; }
void board_start(void) { for (;;) sys(SYS_EXIT, entry(), 0, 0); }
