/* Probe: exits 0 when the kernel runs programs of this flavour natively. */
int main(void) { return 0; }
