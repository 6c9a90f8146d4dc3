/* References to symbols the program leaves undefined (linked with -z undefs) for the user to supply
   with -d or -f: data slots (absolute words, with zero, negative and positive addends), GOT slots
   (addresses that code loads) and a PLT slot (a direct call), next to a word relative to the image. */

extern int ext_var;
extern int ext_table[];
extern void ext_func(int);

static int local = 5;
int *local_ptr = &local;

int *var_slot = &ext_var;
int *table_before = &ext_table[-4];
int *table_inside = &ext_table[6];
void (*func_slot)(int) = ext_func;

int got_loads(void) { return ext_var + ext_table[2]; }

void _start(void) {
    int x = got_loads() + *local_ptr;
#ifndef NO_DIRECT_CALL  /* on ELFv1 a PLT slot takes a function descriptor, which is not built */
    ext_func(x);
#endif
    void (*volatile through_got)(int) = ext_func; /* kept opaque, so the call cannot become direct */
    through_got(x);
}
