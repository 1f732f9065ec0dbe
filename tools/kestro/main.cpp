#include "Kestro.h"

int main(int argc, char** argv) {
    kestro::tool::InstallSignalHandlers();
    return kestro::tool::Main(argc, argv);
}
