// wl-fpdomain: registers, removes, signals and inspects the File Provider domains the extension serves.
#include "DomainCommand.h"

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    int code = domaintool::runDomainCommand(args, std::cout, std::cerr);
    // A platform call still in flight after a time-out is abandoned by the exit.
    std::cout.flush();
    std::cerr.flush();
    std::_Exit(code);
}
