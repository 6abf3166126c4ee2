#include "core/numbertext.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <random>

#include "core/exceptions.h"

using namespace qb;

TEST(FloatToStr, Table) {
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {0.0, "0"},
        {-0.0, "0"},
        {1.0, "1"},
        {-1.0, "-1"},
        {50.0, "50"},
        {0.001, "0.001"},
        {0.5, "0.5"},
        {57.1235, "57.1235"},
        {-57.1235, "-57.1235"},
        {0.0001, "0.0001"},
        {0.00001, "1E-5"},
        {-0.00001, "-1E-5"},
        {0.000123, "0.000123"},
        {0.0000123, "1.23E-5"},
        {1e15 - 1, "999999999999999"},
        {1e15, "1E15"},
        {2.5e20, "2.5E20"},
        {1e100, "1E100"},
        {1.5e-300, "1.5E-300"},
        {123456789012345.0, "123456789012345"},
        {1234567890123456.0, "1.23456789012346E15"},
        {0.1 + 0.2, "0.3"},
        {1.0 / 3.0, "0.333333333333333"},
        {2.0 / 3.0, "0.666666666666667"},
        {9.9999999999999995, "10"},
        {99.99999999999999, "100"},
        // Rounds to 1E-4 at 15 digits and so is written in fixed notation.
        {0.000099999999999999999, "0.0001"},
        // Rounds to 1E15 at 15 digits and so switches to scientific notation.
        {999999999999999.9, "1E15"},
        {100.0, "100"},
        {1e14, "100000000000000"},
        {-1234.5, "-1234.5"},
        {std::numeric_limits<double>::denorm_min(), "4.94065645841247E-324"},
        {std::numeric_limits<double>::max(), "1.79769313486232E308"},
    };
    for (const auto& c : cases) EXPECT_EQ(FloatToStr(c.value), c.text) << c.value;
}

TEST(FloatToStr, NotANumberAndInfinities) {
    EXPECT_EQ(FloatToStr(std::numeric_limits<double>::quiet_NaN()), "NAN");
    EXPECT_EQ(FloatToStr(std::numeric_limits<double>::infinity()), "INF");
    EXPECT_EQ(FloatToStr(-std::numeric_limits<double>::infinity()), "-INF");
}

TEST(FloatToStr, IgnoresTheLocale) {
    const char* old = std::setlocale(LC_ALL, nullptr);
    const std::string saved = old ? old : "C";
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") || std::setlocale(LC_ALL, "fr_FR.UTF-8")) {
        EXPECT_EQ(FloatToStr(1234.5), "1234.5");
        EXPECT_DOUBLE_EQ(StrToFloat("1234.5"), 1234.5);
    }
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(FloatToStr, RoundTripsToFifteenDigits) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> mant(-10, 10);
    std::uniform_int_distribution<int> expo(-320, 300);
    for (int i = 0; i < 20000; ++i) {
        const double v = mant(rng) * std::pow(10.0, expo(rng));
        if (!std::isfinite(v)) continue;
        const std::string s = FloatToStr(v);
        const double back = StrToFloat(s);
        if (v == 0) {
            EXPECT_EQ(back, 0);
        } else if (std::fabs(v) > 1e-300) {
            EXPECT_NEAR(back / v, 1.0, 1e-14) << s;
        }
        // Never a trailing zero in the fraction, never a trailing point.
        const auto e = s.find('E');
        const std::string mantissa = s.substr(0, e);
        if (mantissa.find('.') != std::string::npos) {
            EXPECT_NE(mantissa.back(), '0') << s;
            EXPECT_NE(mantissa.back(), '.') << s;
        }
    }
}

TEST(IntToStr, Values) {
    EXPECT_EQ(IntToStr(0), "0");
    EXPECT_EQ(IntToStr(-17), "-17");
    EXPECT_EQ(IntToStr(std::numeric_limits<int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(UIntToStr(4294967295u), "4294967295");
}

TEST(StrToInt, AcceptsDecimalIntegers) {
    EXPECT_EQ(StrToInt("0"), 0);
    EXPECT_EQ(StrToInt("-42"), -42);
    EXPECT_EQ(StrToInt("+42"), 42);
    EXPECT_EQ(StrToInt(" 7 "), 7);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(StrToInt64("9223372036854775807"), std::numeric_limits<int64_t>::max());
}

TEST(StrToInt, RejectsEverythingElseQuotingTheText) {
    for (const char* bad : {"", " ", "-", "+", "+-1", "1.5", "12a", "0x10", "2147483648",
                            "-2147483649", "1 2", "1e3"}) {
        try {
            StrToInt(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.message(), "'" + std::string(bad) + "' is not a valid integer value");
        }
    }
}

TEST(StrToFloat, AcceptsPointAndExponentForms) {
    EXPECT_DOUBLE_EQ(StrToFloat("57.1235"), 57.1235);
    EXPECT_DOUBLE_EQ(StrToFloat("-1"), -1);
    EXPECT_DOUBLE_EQ(StrToFloat("+2.5"), 2.5);
    EXPECT_DOUBLE_EQ(StrToFloat(".5"), 0.5);
    EXPECT_DOUBLE_EQ(StrToFloat("5."), 5);
    EXPECT_DOUBLE_EQ(StrToFloat("1E-5"), 1e-5);
    EXPECT_DOUBLE_EQ(StrToFloat("2.5e20"), 2.5e20);
    EXPECT_DOUBLE_EQ(StrToFloat("1e-400"), 0);
    EXPECT_DOUBLE_EQ(StrToFloat(" 3 "), 3);
}

TEST(StrToFloat, RejectsEverythingElseQuotingTheText) {
    for (const char* bad : {"", "-", ".", "1,5", "abc", "1e", "nan", "inf", "-inf", "0x1p3",
                            "1.5.2", "1e400", "--1", "1 2"}) {
        try {
            StrToFloat(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.message(),
                      "'" + std::string(bad) + "' is not a valid floating point value");
        }
    }
}
