#include "controller/Startup.h"

int main(int argc, char** argv) {
    return cw::runOverlay(argc, argv);
}
