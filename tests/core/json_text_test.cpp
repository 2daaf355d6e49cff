#include "base/json_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "base/errors.h"

namespace halvenor::json {
namespace {

using namespace std::string_literals;

// Non-ASCII text of every escape class: two-byte (é), three-byte (€), beyond
// the basic plane (U+1F600), control characters and DEL.
Json nested_document() {
  return Json::parse(
      R"({"name": "Caf\u00e9 \u20ac5 \ud83d\ude00", "ctl": "a\u0001b\u007f\t\"\\/",)"
      R"( "list": [1, 2.5, null, true, false, {"z": 1, "a": [], "\u00e9": {}}], "b": -7})");
}

TEST(JsonTextTest, EncodingsOfNestedDocument) {
  const Json doc = nested_document();
  EXPECT_EQ(canonical(doc),
            R"({"b":-7,"ctl":"a\u0001b\u007f\t\"\\/","list":[1,2.5,null,true,false,)"
            R"({"a":[],"z":1,"\u00e9":{}}],"name":"Caf\u00e9 \u20ac5 \ud83d\ude00"})");
  EXPECT_EQ(field_text(doc),
            R"({"name": "Caf\u00e9 \u20ac5 \ud83d\ude00", "ctl": "a\u0001b\u007f\t\"\\/", )"
            R"("list": [1, 2.5, null, true, false, {"z": 1, "a": [], "\u00e9": {}}], "b": -7})");
  EXPECT_EQ(hash_form(doc),
            R"({"b": -7, "ctl": "a\u0001b\u007f\t\"\\/", "list": [1, 2.5, null, true, false, )"
            R"({"a": [], "z": 1, "\u00e9": {}}], "name": "Caf\u00e9 \u20ac5 \ud83d\ude00"})");
  EXPECT_EQ(indented(doc),
            "{\n"
            "  \"name\": \"Caf\\u00e9 \\u20ac5 \\ud83d\\ude00\",\n"
            "  \"ctl\": \"a\\u0001b\\u007f\\t\\\"\\\\/\",\n"
            "  \"list\": [\n"
            "    1,\n    2.5,\n    null,\n    true,\n    false,\n"
            "    {\n"
            "      \"z\": 1,\n"
            "      \"a\": [],\n"
            "      \"\\u00e9\": {}\n"
            "    }\n"
            "  ],\n"
            "  \"b\": -7\n"
            "}");
}

TEST(JsonTextTest, EscapesEveryClassOfCharacter) {
  EXPECT_EQ(canonical("\b\f\n\r\t\x1f \x7e/"), R"("\b\f\n\r\t\u001f ~/")");
  EXPECT_EQ(canonical("\0"s), R"("\u0000")");
  EXPECT_EQ(canonical("\xEF\xBF\xBF"), R"("\uffff")");
  EXPECT_EQ(canonical("\xF4\x8F\xBF\xBF"), R"("\udbff\udfff")");  // U+10FFFF
}

TEST(JsonTextTest, SortsKeysByCodePointAtEveryDepth) {
  // Sorted by code point: "B" < "a" < "z" < "é" < U+FF5E < U+1F600. UTF-16
  // order would put U+1F600 before U+FF5E; signed bytes would put é first.
  const Json one = Json::parse(R"({"z": {"y": 1, "x": [{"d": 0, "c": 0}]}, "\u00e9": 1,
      "\ud83d\ude00": 2, "\uff5e": 3, "a": 4, "B": 5})");
  const Json two = Json::parse(R"({"B": 5, "\uff5e": 3, "a": 4, "\ud83d\ude00": 2,
      "\u00e9": 1, "z": {"x": [{"c": 0, "d": 0}], "y": 1}})");
  const std::string expected =
      R"({"B":5,"a":4,"z":{"x":[{"c":0,"d":0}],"y":1},"\u00e9":1,"\uff5e":3,"\ud83d\ude00":2})";
  EXPECT_EQ(canonical(one), expected);
  EXPECT_EQ(canonical(two), expected);
  EXPECT_EQ(hash_form(one), hash_form(two));
  EXPECT_NE(field_text(one), field_text(two));
}

TEST(JsonTextTest, NumberForms) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {5.0, "5.0"},         {0.5, "0.5"},
      {0.0, "0.0"},         {-0.0, "-0.0"},
      {0.0001, "0.0001"},   {-0.0001, "-0.0001"},
      {9.999e-05, "9.999e-05"}, {1e-05, "1e-05"},
      {1.5e-05, "1.5e-05"}, {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"}, {1e16, "1e+16"},
      {123456789.125, "123456789.125"}, {-1234.5, "-1234.5"},
      {1e22, "1e+22"},      {0.1 + 0.2, "0.30000000000000004"},
      {12345678901234567890.0, "1.2345678901234567e+19"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {5e-324, "5e-324"},   {2.2250738585072014e-308, "2.2250738585072014e-308"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_double(c.value), c.text);
    EXPECT_EQ(canonical(Json(c.value)), c.text);
  }
  EXPECT_EQ(canonical(Json(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
  EXPECT_EQ(canonical(Json(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
  EXPECT_EQ(field_text(Json::array({0, -1, 42})), "[0, -1, 42]");
  EXPECT_THROW(format_double(std::nan("")), RequestError);
  EXPECT_THROW(canonical(Json(std::numeric_limits<double>::infinity())), RequestError);
}

TEST(JsonTextTest, AuditChainInput) {
  const Json input = Json::array({1700000000.0, "alice", "alert.created.test", "{\"a\":1}", ""});
  EXPECT_EQ(canonical(input), R"([1700000000.0,"alice","alert.created.test","{\"a\":1}",""])");
}

TEST(JsonTextTest, IndentedConfigLikeDocument) {
  Json doc;
  doc["version"] = 1;
  doc["department_labels"] = Json::object();
  doc["live_desktop"] = {{"enabled", true}, {"assurance_reference", ""}};
  doc["users"] = Json::array({{{"id", "admin"}, {"display_name", "Ren\u00e9e"}}});
  doc["devices"] = Json::array();
  EXPECT_EQ(indented(doc),
            "{\n"
            "  \"version\": 1,\n"
            "  \"department_labels\": {},\n"
            "  \"live_desktop\": {\n"
            "    \"enabled\": true,\n"
            "    \"assurance_reference\": \"\"\n"
            "  },\n"
            "  \"users\": [\n"
            "    {\n"
            "      \"id\": \"admin\",\n"
            "      \"display_name\": \"Ren\\u00e9e\"\n"
            "    }\n"
            "  ],\n"
            "  \"devices\": []\n"
            "}");
  EXPECT_EQ(indented(Json::array()), "[]");
}

TEST(JsonTextTest, WritingRefusesInvalidUtf8) {
  for (const std::string bad : {"\xff", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                "\xE2\x82"}) {
    EXPECT_THROW(canonical(bad), RequestError) << bad.size();
    EXPECT_THROW(indented(Json::object({{bad, 1}})), RequestError) << bad.size();
  }
}

TEST(JsonTextTest, ParseKeepsOrderAndTypes) {
  const Json doc = parse_text("\xEF\xBB\xBF {\"b\": 1, \"a\": [5.0, 1e2, -3, 18446744073709551615]}");
  EXPECT_EQ(field_text(doc), "{\"b\": 1, \"a\": [5.0, 100.0, -3, 18446744073709551615]}");
  EXPECT_TRUE(doc["a"][0].is_number_float());
  EXPECT_TRUE(doc["a"][1].is_number_float());
  EXPECT_TRUE(doc["a"][2].is_number_integer());
  EXPECT_EQ(parse_text("\"\\ud83d\\ude00\"").get<std::string>(), "\xF0\x9F\x98\x80");
}

TEST(JsonTextTest, ParseRefusals) {
  for (const std::string bad :
       {"", "{", "[1,]", "{\"a\": 1} x", "NaN", "[Infinity]", "-Infinity", "1e400",
        "{\"a\": 1, \"a\": 2}", "[{\"k\": {\"x\": 0}, \"k\": 1}]", "18446744073709551616",
        "-9223372036854775809", "\"\xff\"", "\"\xED\xA0\x80\"", "\"\\ud800\"",
        "\xEF\xBB\xBF\xEF\xBB\xBF{}", "{'a': 1}", "[01]"}) {
    EXPECT_THROW(parse_text(bad), RequestError) << bad;
  }
  EXPECT_EQ(canonical(parse_text("[-9223372036854775808, {\"a\": {}, \"b\": {\"a\": 1}}]")),
            "[-9223372036854775808,{\"a\":{},\"b\":{\"a\":1}}]");
}

TEST(JsonTextTest, NestingLimit) {
  const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  Json deep = parse_text(nested(1000));
  EXPECT_EQ(canonical(deep), nested(1000));
  EXPECT_THROW(parse_text(nested(1001)), RequestError);
  deep = Json::array({std::move(deep)});
  EXPECT_THROW(canonical(deep), RequestError);
}

TEST(JsonTextTest, BodyEncodings) {
  const std::string expected = "{\"k\": \"\\u00e9\\ud83d\\ude00\"}";
  // {"k":"é😀"} in each encoding, with and without byte-order marks.
  const std::string utf8 = "{\"k\":\"\xC3\xA9\xF0\x9F\x98\x80\"}";
  const std::string utf16le =
      "{\0\"\0k\0\"\0:\0\"\0\xE9\0\x3D\xD8\x00\xDE\"\0}\0"s;
  const std::string utf16be =
      "\0{\0\"\0k\0\"\0:\0\"\0\xE9\xD8\x3D\xDE\x00\0\"\0}"s;
  const std::string utf32le =
      "{\0\0\0\"\0\0\0k\0\0\0\"\0\0\0:\0\0\0\"\0\0\0\xE9\0\0\0\x00\xF6\x01\0\"\0\0\0}\0\0\0"s;
  const std::string utf32be =
      "\0\0\0{\0\0\0\"\0\0\0k\0\0\0\"\0\0\0:\0\0\0\"\0\0\0\xE9\0\x01\xF6\x00\0\0\0\"\0\0\0}"s;
  EXPECT_EQ(field_text(parse_body(utf8)), expected);
  EXPECT_EQ(field_text(parse_body("\xEF\xBB\xBF" + utf8)), expected);
  EXPECT_EQ(field_text(parse_body(utf16le)), expected);
  EXPECT_EQ(field_text(parse_body("\xFF\xFE" + utf16le)), expected);
  EXPECT_EQ(field_text(parse_body(utf16be)), expected);
  EXPECT_EQ(field_text(parse_body("\xFE\xFF" + utf16be)), expected);
  EXPECT_EQ(field_text(parse_body(utf32le)), expected);
  EXPECT_EQ(field_text(parse_body("\xFF\xFE\0\0"s + utf32le)), expected);
  EXPECT_EQ(field_text(parse_body(utf32be)), expected);
  EXPECT_EQ(field_text(parse_body("\0\0\xFE\xFF"s + utf32be)), expected);
  EXPECT_EQ(parse_body("7\0"s).get<int>(), 7);  // two bytes: UTF-16LE
  EXPECT_EQ(parse_body("7").get<int>(), 7);
}

TEST(JsonTextTest, BodyRefusals) {
  for (const std::string& bad : {
           "[\0\"\0\x3D\xD8\"\0]\0"s,      // UTF-16LE high surrogate without its pair
           "[\0\"\0\x00\xDE\"\0]\0"s,      // UTF-16LE lone low surrogate
           "[\0\"\0]\0\0"s,                 // UTF-16LE of odd length
           "[\0\0\0\x00\xD8\0\0]\0\0\0"s,   // UTF-32LE surrogate
           "\0\0\0[\0\x11\0\0\0\0\0]"s,     // UTF-32BE beyond U+10FFFF
           "\0\0\0[\0\0\0]\0"s,             // UTF-32BE of ragged length
           "\xFF\xFE\xFF\xFE{\0}\0"s,       // second byte-order mark
           "{\"a\":\"\xC3\"}"s,            // invalid UTF-8
       }) {
    EXPECT_THROW(parse_body(bad), RequestError) << bad.size();
  }
}

}  // namespace
}  // namespace halvenor::json
