/* Boots bare on a qemu virt board at the address it was relocated to: runs the pointer checks of
   the execution tests, prints the outcome over the UART and leaves through the board's exit device,
   status 0 only if all held. The code reaches its data PC-relative, so a pointer relocated for
   another address shows. */
#include "../exec/prog.c"

#if defined(__riscv)
#define UART ((volatile unsigned char *)0x10000000)  /* ns16550 data register */
#else
#define UART ((volatile unsigned int *)0x09000000)   /* PL011 data register */
#endif

char boot_stack[4096] __attribute__((aligned(16)));

void boot_main(void) {
    int line = _start(), ok = line == 0;
    for (const char *s = ok ? "data, bss, rodata and function pointers ok\n" : "a pointer is WRONG\n"; *s; s++)
        *UART = (unsigned char)*s;
#if defined(__riscv)
    *(volatile unsigned int *)0x100000 = ok ? 0x5555 : 0x13333;  /* sifive test device: pass, fail 1 */
#elif defined(__aarch64__)
    /* semihosting SYS_EXIT: ADP_Stopped_ApplicationExit, or RunTimeErrorUnknown */
    static unsigned long block[2];
    block[0] = ok ? 0x20026 : 0x20023;
    register unsigned long x0 __asm__("x0") = 0x18, x1 __asm__("x1") = (unsigned long)block;
    __asm__ volatile("hlt #0xf000" : : "r"(x0), "r"(x1) : "memory");
#endif
    for (;;) {
    }
}

/* The entry: a stack, found PC-relative like everything else before relocated pointers are trusted. */
#if defined(__riscv)
__asm__(".globl boot_entry\nboot_entry:\n lla sp, boot_stack + 4096\n call boot_main\n");
#elif defined(__aarch64__)
__asm__(".globl boot_entry\nboot_entry:\n adrp x0, boot_stack + 4096\n add x0, x0, :lo12:boot_stack + 4096\n"
        " mov sp, x0\n bl boot_main\n");
#endif
