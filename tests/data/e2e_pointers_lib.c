/* The objects that e2e_pointers.c reaches from another file: position-independent code loads their
   addresses from GOT slots, which the loader fills. A pointer in data, before its object. */

int lib_counter = 1;
int lib_table[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
int *lib_before = (int *)((char *)lib_table - 8);

int lib_apply(int (*op)(int), int x) { return op(x) + lib_before[2 + (x & 7)]; }
