// Converter controller (to be completed).
int main(void) {
    for (;;) {}
}
