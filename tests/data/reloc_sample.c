/* A freestanding program whose data is full of addresses, so that the linker has to leave
   relocations for the loader: pointers into .data, .bss and .rodata, a table of function pointers
   and an .init_array. Built for every target machine by tests/support/toolchain.cpp. */

extern int counter;
extern int scratch[64];

int counter = 3;
int scratch[64];                          /* .bss */
int *counter_ptr = &counter;              /* address of initialised data */
int *scratch_ptr = &scratch[10];          /* address inside .bss, with an offset */
const char *greeting = "hello";           /* address in .rodata */
const char *greetings[] = { "one", "two", 0 };

static int add_one(int x) { return x + 1; }
static int twice(int x) { return x * 2; }
int (*ops[])(int) = { add_one, twice, 0 }; /* function pointer table */

static void setup(void) { scratch[0] = 1; }
/* What a C runtime's start-up code walks; here only its relocations matter. */
void (*init_hooks[])(void) __attribute__((section(".init_array"), used)) = { setup };

int run_imports(int x);

void _start(void) {
    int x = ops[counter & 1](*counter_ptr);
    scratch_ptr[1] = run_imports(x);
}
