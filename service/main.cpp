#include "service/service.h"

int main(int argc, char** argv) {
    // The one Service of the program. Made here rather than by a static initialiser, because the
    // order in which the libraries' own globals are made before main is not defined.
    static zelko::plenar::agent::Service service;
    return zelko::plenar::agent::ServiceProgramMain(service, argc, argv);
}
