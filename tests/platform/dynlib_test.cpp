#include "platform/dynlib.h"

#include <gtest/gtest.h>

using namespace qb::platform;

TEST(Dynlib, LoadsLooksUpAndFrees) {
    TLibHandle lib = LoadLibrary("libm.so.6");
    ASSERT_NE(lib, nullptr) << LibraryError();
    auto cosine = reinterpret_cast<double (*)(double)>(GetProcAddress(lib, "cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(GetProcAddress(lib, "no_such_entry_point"), nullptr);
    EXPECT_NE(LibraryError().find("no_such_entry_point"), std::string::npos);
    EXPECT_TRUE(FreeLibrary(lib));
}

TEST(Dynlib, FailuresSayWhy) {
    EXPECT_EQ(LoadLibrary("/nonexistent/libnothing.so"), nullptr);
    EXPECT_NE(LibraryError().find("libnothing.so"), std::string::npos);
    EXPECT_EQ(GetProcAddress(nullptr, "cos"), nullptr);
    EXPECT_FALSE(FreeLibrary(nullptr));
}
