/* A tiny freestanding program for pieshift's demo: string literals in read-only data, a pointer to one
   in writable data and a table of function pointers. It prints through board_putc, which the link
   leaves undefined (-z undefs) and the board's symbol file supplies (examples/board.sh), and returns
   its exit status to the board. */
extern void board_putc(char c);

const char *banner = "relocated by pieshift\n";

static void say(const char *s) {
    while (*s)
        board_putc(*s++);
}
static void hello(void) { say(banner); }
static void bye(void) { say("bye\n"); }

void (*const steps[])(void) = {hello, bye};

int _start(void) {
    for (unsigned i = 0; i < sizeof steps / sizeof steps[0]; i++)
        steps[i]();
    return 0;
}
