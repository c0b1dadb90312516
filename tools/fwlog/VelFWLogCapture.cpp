// Placeholder until the capture tool lands.
int main() { return 1; }
