// Placeholder until the launcher lands: runs the start script with the platform interpreter.
#include <cstdio>

int main() {
    std::fputs("bootpad: not built yet\n", stderr);
    return 1;
}
