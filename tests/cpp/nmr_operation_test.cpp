// Operation texts as they go into the task document.
#include <gtest/gtest.h>

#include <string>

#include "nmr/operation.h"

TEST(NmrOperation, ConstructorsFillTheirFields) {
    struct Case {
        Operation op;
        const char* text;
    } cases[] = {
        {Operation(), R"({"angle":0,"controlQubit":-1,"controlQubit2":-1,"delay":0,"qubitIndex":-1,"timeslot":0,"type":""})"},
        {Operation("H", 3, 2), R"({"angle":0,"controlQubit":-1,"controlQubit2":-1,"delay":0,"qubitIndex":2,"timeslot":3,"type":"H"})"},
        {Operation("Rx", 0, 1, 90.0), R"({"angle":90,"controlQubit":-1,"controlQubit2":-1,"delay":0,"qubitIndex":1,"timeslot":0,"type":"Rx"})"},
        {Operation("CNOT", 1, 0, 1), R"({"angle":0,"controlQubit":0,"controlQubit2":-1,"delay":0,"qubitIndex":1,"timeslot":1,"type":"CNOT"})"},
        {Operation("CCX", 4, 2, 0, 1), R"({"angle":0,"controlQubit":2,"controlQubit2":0,"delay":0,"qubitIndex":1,"timeslot":4,"type":"CCX"})"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.op.to_string(), c.text);
}

TEST(NmrOperation, AnglesUseSixSignificantDigits) {
    const std::pair<double, const char*> cases[] = {
        {57.29577951308232, "\"angle\":57.2958,"}, {630.0, "\"angle\":630,"},
        {0.000123456789, "\"angle\":0.000123457,"}, {719.9999999, "\"angle\":720,"},
        {114.59155902616465, "\"angle\":114.592,"},
    };
    for (const auto& [angle, text] : cases) {
        std::string out = Operation("Ry", 0, 0, angle).to_string();
        EXPECT_NE(out.find(text), std::string::npos) << out;
    }
}

TEST(NmrOperation, NamesAreJsonEscaped) {
    const std::pair<std::string, std::string> cases[] = {
        {"Rx", "\"Rx\""},
        {"a\"b", "\"a\\\"b\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"tab\tnew\nline\r", "\"tab\\tnew\\nline\\r\""},
        {std::string("nul\0x", 5), "\"nul\\u0000x\""},
        {"\x01\x1f\x7f", "\"\\u0001\\u001f\\u007f\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
    };
    for (const auto& [name, quoted] : cases) EXPECT_EQ(json_quoted(name), quoted);
    Operation injected("H\",\"qubitIndex\":7,\"x\":\"", 0, 0);
    EXPECT_NE(injected.to_string().find("\"type\":\"H\\\",\\\"qubitIndex\\\":7"), std::string::npos);
}

TEST(NmrOperation, Utf8Validation) {
    EXPECT_TRUE(is_utf8(""));
    EXPECT_TRUE(is_utf8("plain"));
    EXPECT_TRUE(is_utf8("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
    const char* bad[] = {
        "\xff", "\xc3", "\xc3(", "\xe2\x82", "\xc0\xaf" /* overlong */, "\xed\xa0\x80" /* surrogate */,
        "\xf4\x90\x80\x80" /* above U+10FFFF */, "\xf8\x88\x80\x80\x80",
    };
    for (const char* text : bad) EXPECT_FALSE(is_utf8(text)) << text;
}
