/* Checks its own pointers once relocated and run: exits with 0 when every one is right, else the
   line of the first wrong check, from exit_start, which the system enters in the ELF output. With
   -DUNDEFS it also reaches the board's data and function, which the link leaves undefined
   (-z undefs) for -d and -f to supply. */
int value = 7;
int zeroed[32];                                   /* .bss */
static const char text[] = "pointer sample";      /* .rodata */
int *value_ptr = &value;
int **value_ptr_ptr = &value_ptr;
int *zeroed_ptr = &zeroed[5];
int *zeroed_end = &zeroed[32];
const char *texts[] = {"alpha", &text[2]};
static int add_one(int x) { return x + 1; }
static int twice(int x) { return x * 2; }
int (*ops[])(int) = {add_one, twice};
#ifdef UNDEFS
extern int board_counter;
extern int board_triple(int);
int *counter_slot = &board_counter;
int (*triple_slot)(int) = board_triple;
#endif

#define CHECK(c) do { if (!(c)) return __LINE__; } while (0)

int _start(void) {
    CHECK(value_ptr == &value && **value_ptr_ptr == 7);
    CHECK(zeroed_ptr == &zeroed[5] && zeroed_end - zeroed == 32 && zeroed[5] == 0);
    CHECK(texts[0][0] == 'a' && texts[0][4] == 'a' && texts[1] == &text[2] && texts[1][0] == 'i');
    CHECK(ops[0](3) == 4 && ops[1](3) == 6);
#ifdef UNDEFS
    CHECK(counter_slot == &board_counter && *counter_slot == 0x1234);
    CHECK(triple_slot(5) == 15 && board_triple(2) == 6 && board_counter == 0x1234 + 7);
#endif
    return 0;
}

/* exit(2): the trap, the registers of the call number and its argument, and the number. */
#define EXIT(insn, nr_reg, arg_reg, number) \
    register long nr __asm__(nr_reg) = number, arg __asm__(arg_reg) = _start(); \
    __asm__ volatile(insn : : "r"(nr), "r"(arg))
#if defined(__x86_64__) || defined(__i386__)
__attribute__((force_align_arg_pointer))  /* the system enters with the stack as a call leaves it */
#endif
void exit_start(void) {
#if defined(__x86_64__)
    EXIT("syscall", "rax", "rdi", 60);
#elif defined(__i386__)
    EXIT("int $0x80", "eax", "ebx", 1);
#elif defined(__aarch64__)
    EXIT("svc 0", "x8", "x0", 93);
#elif defined(__arm__)
    EXIT("svc 0", "r7", "r0", 1);
#elif defined(__riscv)
    EXIT("ecall", "a7", "a0", 93);
#elif defined(__s390x__)
    EXIT("svc 0", "r1", "r2", 1);
#elif defined(__mips__)
    EXIT("syscall", "$2", "$4", 4001);
#endif
    for (;;) {
    }
}
