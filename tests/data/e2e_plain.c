/* A freestanding program with no address in its data: code reaches everything PC-relative, so the
   linker leaves no dynamic relocation and the image is the sections' bytes as linked. Initialised
   data, zero-initialised data and read-only data that the image leaves out. */

int counter = 0x11223344;
long long wide = 0x0102030405060708LL;
char message[] = "plain image";
int table[8] = {1, 2, 3, 4, 5, 6, 7, 8};
int zeroed[32];                                            /* .bss */
const int weights[4] = {0x0a0b0c0d, 0x01, 0x7f, 0x100};   /* read-only */

void _start(void) {
    for (int i = 0; i < 8; ++i)
        zeroed[(counter + i) & 31] += table[i] * weights[i & 3] + message[i] + (int)wide;
}
