/* Thread-local data only, uninitialised: .tbss may be the last section, with addresses but no memory. */
__thread int x;
int get(void) { return x; }
void _start(void) { for (;;); }
