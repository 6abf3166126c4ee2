#include "core/exceptions.h"

#include <gtest/gtest.h>

using namespace qb;

TEST(Exceptions, CarryTheirMessagesAndFormHierarchy) {
    try {
        throw EConvertError("bad number");
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "bad number");
    }
    try {
        Abort();
    } catch (const EAbort& e) {
        EXPECT_EQ(e.message(), "");
    }
    EXPECT_THROW(throw EOutOfMemory(), Exception);
}

TEST(Exceptions, FormatFillsPlaceholders) {
    EXPECT_EQ(Format("File %s not found (%d)", "a.pts", 3), "File a.pts not found (3)");
    EXPECT_EQ(Format("%s", ""), "");
    const std::string longText(5000, 'x');
    EXPECT_EQ(Format("<%s>", longText.c_str()), "<" + longText + ">");
}
