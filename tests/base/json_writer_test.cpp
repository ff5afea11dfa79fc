// The one JSON writer: its strings, its numbers in the form the backup's lines have always had (the
// form Qt's JSON writer gives, checked against it), its objects in the order they are written.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "JsonWriter.h"

namespace {

std::string QtNumber(double value)
{
    QJsonObject object;
    object.insert("n", value);
    const std::string text = QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
    return text.substr(5, text.size() - 6);  // {"n":...}
}

}  // namespace

TEST(JsonWriter, NumbersHaveTheirShortestForm)
{
    struct Case {
        double value;
        const char* pszText;
    };
    const Case cases[] = {
        {0, "0"},
        {-0.0, "0"},
        {0.001, "0.001"},
        {0.012, "0.012"},
        {2.5, "2.5"},
        {-3, "-3"},
        {12, "12"},
        {100000, "100000"},
        {1e6, "1000000"},
        {1e15, "1000000000000000"},
        {1e16, "1e+16"},
        {1.5e16, "1.5e+16"},
        {123456789012345678.0, "123456789012345680"},
        {123456789.123, "123456789.123"},
        {0.1 + 0.2, "0.30000000000000004"},
        {0.0001, "1e-04"},
        {0.00012, "0.00012"},
        {1e-7, "1e-07"},
        {5e-324, "5e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {std::numeric_limits<double>::infinity(), "null"},
        {std::nan(""), "null"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszText);
        EXPECT_EQ(JsonNumber(c.value), c.pszText);
        if (std::isfinite(c.value) && c.value != 0) {
            EXPECT_EQ(JsonNumber(c.value), QtNumber(c.value)) << "the form the lines have always had";
        }
    }
    // The seconds of a run, in milliseconds up to a day, come out as they always did.
    std::mt19937 random(26);
    std::uniform_int_distribution<int> millis(0, 86'400'000);
    for (int i = 0; i < 2000; ++i) {
        const double seconds = millis(random) / 1000.0;
        ASSERT_EQ(JsonNumber(seconds), QtNumber(seconds)) << seconds;
    }
}

TEST(JsonWriter, StringsAreEscapedOnce)
{
    struct Case {
        std::string raw;
        const char* pszJson;
    };
    const Case cases[] = {
        {"", "\"\""},
        {"plain / text", "\"plain / text\""},
        {"\"q\" \\b", "\"\\\"q\\\" \\\\b\""},
        {"a\nb\rc\td", "\"a\\nb\\rc\\td\""},
        {std::string("\0\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\\u007f\""},
        {"\xc2\x85|\xe2\x80\xa8|\xe2\x80\xa9", "\"\\u0085|\\u2028|\\u2029\""},
        {"\xe6\x97\xa5\xe6\x9c\xac \xc3\xa9", "\"\xe6\x97\xa5\xe6\x9c\xac \xc3\xa9\""},
        {"\xff\xe6\x97", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},  // one U+FFFD per byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszJson);
        EXPECT_EQ(JsonString(c.raw), c.pszJson);
    }
}

TEST(JsonWriter, AnObjectKeepsTheOrderOfItsFields)
{
    CJsonObject inner;
    inner.Integer("line", 3).String("message", "no address");
    CJsonObject object;
    object.String("name", "core-1")
        .String("absent", std::optional<std::string>())
        .String("present", std::optional<std::string>("x"))
        .Integer("bytes", 9007199254740993LL)
        .Integer("none", std::optional<std::int64_t>())
        .Number("seconds", 0.25)
        .Fixed("fixed", 1.23456, 3)
        .Fixed("rounded", 59.9996, 3)
        .Fixed("infinite", std::numeric_limits<double>::infinity(), 3)
        .Bool("ok", false)
        .Bool("changed", std::optional<bool>())
        .Null("code")
        .Value("problems", JsonArray({inner.Text(), inner.Text()}))
        .Value("empty", JsonArray({}))
        .Value("inner", CJsonObject().Text());
    EXPECT_EQ(object.Line(),
              "{\"name\":\"core-1\",\"absent\":null,\"present\":\"x\",\"bytes\":9007199254740993,\"none\":null,"
              "\"seconds\":0.25,\"fixed\":1.235,\"rounded\":60.000,\"infinite\":null,\"ok\":false,"
              "\"changed\":null,\"code\":null,"
              "\"problems\":[{\"line\":3,\"message\":\"no address\"},{\"line\":3,\"message\":\"no address\"}],"
              "\"empty\":[],\"inner\":{}}\n");
    EXPECT_EQ(object.Text() + "\n", object.Line());
}
