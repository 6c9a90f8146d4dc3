/* A board to run relocated images on under Linux (natively or under qemu-user): the process enters
   here, calls the image's relocated entry point (image_entry, placed by the linker script) and exits
   with what it returns. The image reaches the board's services through symbols given with -f. */
#if defined(__x86_64__)
#define SYSCALL "syscall", "rax", "rdi", "rsi", "rdx", 1, 60, "rcx", "r11"
#elif defined(__i386__)
#define SYSCALL "int $0x80", "eax", "ebx", "ecx", "edx", 4, 1, "memory", "memory"
#elif defined(__aarch64__)
#define SYSCALL "svc 0", "x8", "x0", "x1", "x2", 64, 93, "memory", "memory"
#elif defined(__arm__)
#define SYSCALL "svc 0", "r7", "r0", "r1", "r2", 4, 1, "memory", "memory"
#elif defined(__riscv)
#define SYSCALL "ecall", "a7", "a0", "a1", "a2", 64, 93, "memory", "memory"
#endif
#define SYSCALL3(insn, rn, r0, r1, r2, nwrite, nexit, c0, c1)                                           \
    static long sys(long n, long a, long b, long c) {                                                   \
        register long n_ __asm__(rn) = n, a_ __asm__(r0) = a, b_ __asm__(r1) = b, c_ __asm__(r2) = c;   \
        __asm__ volatile(insn : "+r"(n_), "+r"(a_) : "r"(b_), "r"(c_) : "memory", c0, c1);             \
        return n_;                                                                                       \
    }                                                                                                    \
    enum { SYS_WRITE = nwrite, SYS_EXIT = nexit };
#define EXPAND(m, args) m args
EXPAND(SYSCALL3, (SYSCALL))

#if defined(__x86_64__) || defined(__i386__)
#define ENTRY __attribute__((force_align_arg_pointer)) /* entered with the stack as the kernel left it */
#else
#define ENTRY
#endif

extern int image_entry(void);
int (*volatile entry)(void) = image_entry;        /* a word, not a call: no range limit, no veneer */

int board_counter = 0x1234;                       /* data the image reads and writes */
void board_putc(char c) { sys(SYS_WRITE, 1, (long)&c, 1); }
int board_triple(int x) { board_counter += x; return 3 * x; }
void board_exit(int status) { for (;;) sys(SYS_EXIT, status, 0, 0); }

ENTRY void board_start(void) { board_exit(entry()); }
