// bootpad's entry: choose the interpreter, then either offer the missing tools or run the start script.

#include "Launcher.h"

int main(int argc, char** argv) {
    const bootpad::Layout layout = bootpad::layoutFor(argc > 0 ? argv[0] : nullptr);
    const std::optional<std::string> python = bootpad::usablePython(layout);
    if (!python) {
        bootpad::offerInstall();
        return 1;
    }
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return bootpad::runStartScript(layout, *python, arguments);
}
