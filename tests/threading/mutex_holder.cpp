// A second process for the named-mutex tests.
//   mutex_holder hold <name>   acquires, writes "acquired", releases when its input ends
//   mutex_holder die <name>    acquires, writes "acquired" and ends without releasing
//   mutex_holder try <name>    tries without waiting: exit 0 (writes "abandoned" when it
//                              was), 3 when it timed out
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "threading/zrmutex.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::string mode = argv[1];
    try {
        qb::TzrMutex mutex;
        mutex.SetMutexName(argv[2]);
        if (mode == "try") {
            try {
                if (mutex.Acquire(false, 0)) std::cout << "abandoned" << std::endl;
            } catch (const qb::EzrTimedOutException&) {
                return 3;
            }
            mutex.Release();
            return 0;
        }
        mutex.Acquire(false, -1);
        std::cout << "acquired" << std::endl;
        if (mode == "die") _exit(0);
        std::string line;
        while (std::getline(std::cin, line)) {
        }
        mutex.Release();
        return 0;
    } catch (const qb::Exception& e) {
        std::cerr << e.message() << std::endl;
        return 1;
    }
}
