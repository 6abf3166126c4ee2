// A fresh temporary directory for each test, removed with everything in it afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace qb::test {

// Creates a directory under the system temporary directory; the path has a trailing '/'.
std::string MakeTempDir(const std::string& prefix = "qbtest");
// Removes a directory tree; silent when it is gone already.
void RemoveTree(const std::string& path);
// Writes a file with the given bytes (raises a test failure when that fails).
void WriteFile(const std::string& path, const std::string& bytes);
// The whole file's bytes; empty when it cannot be read.
std::string ReadFile(const std::string& path);

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override { dir = MakeTempDir(); }
    void TearDown() override { RemoveTree(dir); }
    std::string Path(const std::string& name) const { return dir + name; }
    std::string dir;
};

}  // namespace qb::test
