#include "tools/ptstitcher/ptstitcher.h"

int main(int argc, char** argv) { return qb::ptstitcher::Main(argc, argv); }
