// The main of every test program: each program gets a registry store file of its own
// (never the user's settings) and Qt runs offscreen.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/tempdir.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const std::string dir = qb::test::MakeTempDir("qbreg");
    setenv("KELMORA_REGISTRY", (dir + "registry.sqlite3").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const int rc = RUN_ALL_TESTS();
    qb::test::RemoveTree(dir);
    return rc;
}
