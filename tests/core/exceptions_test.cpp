#include "core/exceptions.h"

#include "core/numbertext.h"

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

TEST(Exceptions, QuotedValuesAreCutAfterTheirLimitNeverInsideACharacter) {
    const std::string e = "\xC3\xA9";  // one character, two bytes
    struct Case {
        std::string text;
        size_t max;
        std::string quoted;
    };
    const Case cases[] = {
        {"short", 100, "short"},
        {std::string(100, 'a'), 100, std::string(100, 'a')},
        {std::string(101, 'a'), 100, std::string(100, 'a') + "..."},
        {std::string(3 << 20, '7'), 100, std::string(100, '7') + "..."},
        {e + e + e, 2, e + e + "..."},
        {"ab" + e, 3, "ab" + e},
        {"", 100, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(QuoteValue(c.text, c.max), c.quoted) << c.text.substr(0, 20);
    // The number conversions quote the text they could not read this way.
    try {
        StrToFloat(std::string(3 << 20, '9') + "x");
        ADD_FAILURE() << "no error";
    } catch (const EConvertError& error) {
        EXPECT_EQ(error.message(), "'" + std::string(100, '9') + "...' is not a valid floating point value");
    }
}
