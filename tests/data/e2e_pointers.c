/* Data full of addresses for the loader to fix, and no symbol left undefined: pointers into .data,
   .bss and .rodata (with offsets, one past the end of its array), pointers to pointers, tables of
   function pointers, .init_array and .fini_array entries,
   and GOT slots for the objects that e2e_pointers_lib.c defines. */

extern int lib_counter;
extern int lib_table[16];
int lib_apply(int (*op)(int), int x);

int value = 7;
int zeroed[32];
static const char text[] = "pointer sample";

int *value_ptr = &value;
int *zeroed_ptr = &zeroed[5];
int *zeroed_end = &zeroed[32];
const char *text_ptr = &text[2];
const char *texts[] = {"alpha", "beta", text, 0};
int **value_ptr_ptr = &value_ptr;

static int add_one(int x) { return x + 1; }
static int twice(int x) { return x * 2; }
int (*ops[])(int) = {add_one, twice, 0};

static void init_hook(void) { zeroed[0] = 1; }
static void fini_hook(void) { zeroed[1] = 2; }
/* Each array also holds a constant that no relocation rewrites, so that only copying the section
   puts it in the image. Nothing here runs, so nothing calls it. */
void (*init_hooks[])(void) __attribute__((section(".init_array"), used)) = {init_hook, (void (*)(void))0x5a5a};
void (*fini_hooks[])(void) __attribute__((section(".fini_array"), used)) = {fini_hook, (void (*)(void))0xa5a5};

void _start(void) {
    int x = ops[value & 1](**value_ptr_ptr) + text_ptr[0] + texts[1][0];
    x += zeroed_ptr[1] + (int)(zeroed_end - zeroed);
    lib_counter += lib_apply(ops[x & 1], lib_table[x & 15]);
}
