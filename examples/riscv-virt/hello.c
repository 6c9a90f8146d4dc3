/* A freestanding program for the virt board: it prints a table of messages on the ns16550 UART and
   ends the emulator through the board's test device. Both devices are symbols the link leaves
   undefined (-z undefs) and pieshift defines; the table of pointers is writable data that the relocations fix. */
extern volatile unsigned char uart_base[];    /* ns16550: transmit register at 0, line status at 5 */
extern volatile unsigned int test_device[];

const char *lines[] = {"hello from the virt board\n", "relocated by pieshift\n"};

static void put(const char *s) {
    for (; *s; s++) {
        while (!(uart_base[5] & 0x20))  /* until the transmit register is empty */
            ;
        uart_base[0] = (unsigned char)*s;
    }
}

__attribute__((noreturn)) void main_loop(void) {
    for (unsigned i = 0; i < sizeof lines / sizeof lines[0]; i++)
        put(lines[i]);
    test_device[0] = 0x5555;  /* pass: qemu exits with status 0 */
    for (;;)
        ;
}

/* The first byte of the image, where the board's reset code jumps: a stack, then C. */
__attribute__((naked, section(".text.start"))) void _start(void) {
    __asm__("lla sp, stack_top\n"
            "tail main_loop\n");
}
