// Readout unit (to be completed).
int main(void) {
    for (;;) {}
}
