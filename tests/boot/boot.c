/* Boots bare on a qemu virt board at the address it was relocated to: checks its own pointers,
   prints each check over the UART and leaves through the board's exit device, status 0 only if all
   held. Built as a static PIE; the code reaches its data PC-relative, so a pointer relocated for
   another address shows. */
#if defined(__riscv)
#define UART ((volatile unsigned char *)0x10000000)  /* ns16550 data register */
#elif defined(__aarch64__) || defined(__arm__)
#define UART ((volatile unsigned int *)0x09000000)   /* PL011 data register */
#endif

char boot_stack[4096] __attribute__((aligned(16)));
int value = 7;
int zeroed[8];
static const char text[] = "pointer";
int *value_ptr = &value;
int *zeroed_ptr = &zeroed[5];
const char *text_ptr = &text[2];
static int twice(int x) { return 2 * x; }
int (*twice_ptr)(int) = twice;

static void put(const char *s) {
    while (*s) *UART = (unsigned char)*s++;
}

static void leave(int ok) {
#if defined(__riscv)
    *(volatile unsigned int *)0x100000 = ok ? 0x5555 : 0x13333;  /* sifive test device: pass, fail 1 */
#elif defined(__aarch64__)
    static unsigned long block[2];  /* semihosting SYS_EXIT: ADP_Stopped_ApplicationExit or RunTimeError */
    block[0] = ok ? 0x20026 : 0x20023;
    register unsigned long x0 __asm__("x0") = 0x18, x1 __asm__("x1") = (unsigned long)block;
    __asm__ volatile("hlt #0xf000" : : "r"(x0), "r"(x1) : "memory");
#else
    register unsigned long r0 __asm__("r0") = 0x18, r1 __asm__("r1") = ok ? 0x20026 : 0x20023;
    __asm__ volatile("svc #0x123456" : : "r"(r0), "r"(r1) : "memory");
#endif
    for (;;) {
    }
}

#define CHECK(name, c) do { put(name); put((c) ? " ok\n" : " WRONG\n"); ok &= (c) != 0; } while (0)

void boot_main(void) {
    int ok = 1;
    CHECK("data pointer", value_ptr == &value && *value_ptr == 7);
    CHECK("bss pointer", zeroed_ptr == &zeroed[5] && zeroed[5] == 0);
    CHECK("rodata pointer", text_ptr == &text[2] && text_ptr[0] == 'i');
    CHECK("function pointer", twice_ptr == twice && twice_ptr(21) == 42);
    leave(ok);
}

/* The entry: a stack, found PC-relative as everything else before relocated pointers are trusted. */
#if defined(__riscv)
__asm__(".globl _start\n_start:\n lla sp, boot_stack + 4096\n call boot_main\n");
#elif defined(__aarch64__)
__asm__(".globl _start\n_start:\n adrp x0, boot_stack + 4096\n add x0, x0, :lo12:boot_stack + 4096\n mov sp, x0\n bl boot_main\n");
#else
__asm__(".arm\n.globl _start\n_start:\n ldr r0, 1f\n0: add sp, pc, r0\n bl boot_main\n1: .word boot_stack + 4096 - (0b + 8)\n");
#endif
