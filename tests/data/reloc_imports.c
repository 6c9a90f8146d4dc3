/* References to symbols that the program does not define, linked with -z undefs: they stay
   undefined in the dynamic symbol table and give relocations that name a symbol (absolute words,
   GOT entries and PLT slots), some with a negative addend. */

extern int host_value;
extern int host_table[];
extern void host_call(int);
extern int host_optional __attribute__((weak));

int *host_value_ptr = &host_value;
int *host_table_before = &host_table[-4]; /* negative addend */
int *host_optional_ptr = &host_optional;

int run_imports(int x) {
    host_call(x);
    return *host_value_ptr + host_table_before[4];
}
