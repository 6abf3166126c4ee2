// The frame of the benchmarks' command-line drivers: the arguments after the program name
// go to the driver's run function; a failure is printed as "<program>: <message>" with exit
// code 1.
#pragma once

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace qb::bench {

template <typename Run>
int DriverMain(const char* program, int argc, char** argv, Run run) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program, e.what());
        return 1;
    }
}

}  // namespace qb::bench
