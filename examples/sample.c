/* A tiny freestanding program for pieshift's demo: pointers in data, a table of function pointers,
   and two symbols the link leaves undefined (-z undefs) that examples/sample.sym supplies. */
extern volatile unsigned int uart_base[];   /* provided by the board's symbol file */
extern void board_reset(void);              /* likewise */

static char banner[] = "relocated by pieshift\n";  /* writable: read-only data is not in the image */
const char *banner_ptr = banner;

static void put(char c) { uart_base[0] = (unsigned char)c; }
static void say(const char *s) { while (*s) put(*s++); }
static void hello(void) { say(banner_ptr); }
static void bye(void) { say("bye\n"); }

void (*const steps[])(void) = {hello, bye};

void _start(void) {
    for (unsigned i = 0; i < sizeof steps / sizeof steps[0]; i++)
        steps[i]();
    board_reset();
}
