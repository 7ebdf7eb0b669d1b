// wl-hostcheck: checks a host application against what the File Provider extension relies on.
#include "HostCheck.h"

#include <iostream>

int main(int argc, char** argv) {
    try {
        auto options = wl::hostcheck::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
        return wl::hostcheck::run(options, std::cout, std::cerr);
    } catch (const wl::hostcheck::UsageError& error) {
        std::cerr << "wl-hostcheck: " << error.what() << "\n" << wl::hostcheck::usage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "wl-hostcheck: " << error.what() << "\n";
        return 2;
    }
}
