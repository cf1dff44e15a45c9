#include "common/log.h"
#include "protocol/message_reader.h"
#include "support/test_support.h"

#include <climits>
#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace
{

std::string thrown_text(const std::function<void()>& action)
{
    try {
        action();
    } catch (const GenericError& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

TEST(ParseJsonMsg, MalformedTextThrows)
{
    for (const char* text : { "", "{", "not json", "{\"H\":}", "\x01\x02" })
        EXPECT_EQ(thrown_text([&] { parse_json_msg(text); }), "Malformed JSON message, can not be parsed.") << text;
    EXPECT_EQ(thrown_text([] { parse_json_msg(static_cast<const char*>(nullptr)); }),
        "Malformed JSON message, can not be parsed.");
}

TEST(ParseJsonMsg, TextAfterTheFirstValueIsIgnored)
{
    json_ptr root = parse_json_msg(R"({"H":{"V":113},"B":[]}garbage{)");
    EXPECT_EQ(get_msg_version(root.get()), 113);
}

TEST(JsonGetters, MissingKeyEmbedsTheSearchedObjectUnformatted)
{
    json_ptr root = parse_json_msg(R"({ "T" : 5, "DT" : { "5-1" : "10.1.1.1" } })");
    const cJSON* dt = JSON_get_object(root.get(), "DT");
    const std::string expected = R"(Object [5-2] could not be found in JSON string '{"5-1":"10.1.1.1"}'.)";
    EXPECT_EQ(thrown_text([&] { JSON_get_object(dt, "5-2"); }), expected);
    EXPECT_EQ(thrown_text([&] { JSON_get_string(dt, "5-2"); }), expected);
    EXPECT_EQ(thrown_text([&] { JSON_get_int(dt, "5-2"); }), expected);
    EXPECT_EQ(thrown_text([] { JSON_get_object(nullptr, "B"); }), "Object [B] could not be found in JSON string ''.");
}

TEST(JsonGetters, KeysMatchWithoutRegardToCase)
{
    json_ptr root = parse_json_msg(R"({"dt":{"Ab":"x","n":7}})");
    const cJSON* dt = JSON_get_object(root.get(), "DT");
    EXPECT_STREQ(JSON_get_string(dt, "aB"), "x");
    EXPECT_EQ(JSON_get_int(dt, "N"), 7);
    EXPECT_TRUE(JSON_has_object(root.get(), "Dt"));
    EXPECT_FALSE(JSON_has_object(root.get(), "D"));
    EXPECT_FALSE(JSON_has_object(nullptr, "DT"));
}

// A value of the wrong kind is as good as none: the caller gets the missing-member error, not
// a null text or a silent 0.
TEST(JsonGetters, WrongKindThrowsTheMissingMemberError)
{
    json_ptr root = parse_json_msg(R"({"s":"12","n":12,"b":true,"z":null,"o":{},"a":[1]})");
    const std::string all = JSON_to_string(root.get());
    for (const char* key : { "n", "b", "z", "o", "a" })
        EXPECT_EQ(thrown_text([&] { JSON_get_string(root.get(), key); }),
            std::string("Object [") + key + "] could not be found in JSON string '" + all + "'.");
    for (const char* key : { "s", "b", "z", "o", "a" })
        EXPECT_EQ(thrown_text([&] { JSON_get_int(root.get(), key); }),
            std::string("Object [") + key + "] could not be found in JSON string '" + all + "'.");
}

TEST(JsonGetters, IntegersTruncateAndSaturate)
{
    json_ptr root = parse_json_msg(R"({"a":7.9,"b":-7.9,"c":1e12,"d":-1e12,"e":1e999})");
    EXPECT_EQ(JSON_get_int(root.get(), "a"), 7);
    EXPECT_EQ(JSON_get_int(root.get(), "b"), -7);
    EXPECT_EQ(JSON_get_int(root.get(), "c"), INT_MAX);
    EXPECT_EQ(JSON_get_int(root.get(), "d"), INT_MIN);
    EXPECT_EQ(JSON_get_int(root.get(), "e"), INT_MAX);
}

TEST(MsgVersion, MismatchLogsWithTwoBlanksAndReturnsFalse)
{
    log_capture log;
    json_ptr old = parse_json_msg(R"({"H":{"V":112},"B":[]})");
    EXPECT_FALSE(check_msg_version(old.get(), ""));
    warn_msg_version(old.get(), "");
    const log_line line { LOG_WARNING, "Message protocol version missmatch  (expected: 113 found: 112)." };
    EXPECT_EQ(log.lines(), (std::vector<log_line> { line, line }));
    EXPECT_EQ(thrown_text([&] { require_msg_version(old.get(), 113, "ctx"); }),
        "Message protocol version missmatch ctx (expected: 113 found: 112).");

    log.clear();
    json_ptr cur = parse_json_msg(R"({"B":[],"h":{"v":113}})");
    EXPECT_TRUE(check_msg_version(cur.get(), ""));
    EXPECT_EQ(require_msg_version(cur.get(), 113, ""), 113);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(get_first_segment(cur.get()), nullptr);
    EXPECT_EQ(get_segment_count(cur.get()), 0);
}

TEST(MsgVersion, MissingHeaderIsAMissingKeyNotAMismatch)
{
    json_ptr root = parse_json_msg(R"({"B":[{"T":5}]})");
    EXPECT_EQ(thrown_text([&] { check_msg_version(root.get(), ""); }),
        R"(Object [H] could not be found in JSON string '{"B":[{"T":5}]}'.)");
    json_ptr no_v = parse_json_msg(R"({"H":{},"B":[]})");
    EXPECT_EQ(thrown_text([&] { get_msg_version(no_v.get()); }), "Object [V] could not be found in JSON string '{}'.");
}

TEST(Segments, BodyAccess)
{
    json_ptr root = parse_json_msg(R"({"H":{"V":113},"B":[{"T":13},{"T":15}]})");
    EXPECT_EQ(get_segment_count(root.get()), 2);
    EXPECT_EQ(JSON_get_int(get_first_segment(root.get()), "T"), 13);
    const cJSON* body = JSON_get_object(root.get(), "B");
    EXPECT_EQ(JSON_get_int(JSON_get_nth_object(1, body), "T"), 15);
    EXPECT_EQ(thrown_text([&] { JSON_get_nth_object(2, body); }), "JSON_get_nth_object: array is too short.");
    EXPECT_EQ(thrown_text([&] { JSON_get_nth_object(-1, body); }), "JSON_get_nth_object: array is too short.");
    EXPECT_EQ(thrown_text([] { JSON_get_nth_object(0, nullptr); }), "JSON_get_nth_object: array is too short.");

    json_ptr no_body = parse_json_msg(R"({"H":{"V":113}})");
    EXPECT_EQ(thrown_text([&] { get_first_segment(no_body.get()); }),
        R"(Object [B] could not be found in JSON string '{"H":{"V":113}}'.)");
    EXPECT_EQ(thrown_text([&] { get_segment_count(no_body.get()); }),
        R"(Object [B] could not be found in JSON string '{"H":{"V":113}}'.)");
    // A "B" that is an object is not a body; its first member must not pass for a segment.
    json_ptr object_body = parse_json_msg(R"({"B":{"T":5}})");
    EXPECT_EQ(thrown_text([&] { get_first_segment(object_body.get()); }),
        R"(Object [B] could not be found in JSON string '{"B":{"T":5}}'.)");
}

TEST(Segments, StatusAndErrorSegments)
{
    json_ptr ok = parse_json_msg(R"({"T":22})");
    EXPECT_EQ(get_segment_err_code(ok.get()), 0);
    EXPECT_EQ(assert_no_error(ok.get()), 0);
    EXPECT_EQ(format_segment_error(ok.get()), "code: 0 message: ");

    json_ptr failed = parse_json_msg(R"({"T":5,"I":0,"ER":1,"MG":"unknown device"})");
    EXPECT_EQ(get_segment_err_code(failed.get()), 1);
    EXPECT_EQ(thrown_text([&] { assert_no_error(failed.get()); }), "Received an error message - unknown device");
    EXPECT_EQ(format_segment_error(failed.get()), "code: 1 message: unknown device");

    json_ptr no_text = parse_json_msg(R"({"T":9,"I":0,"ER":-1})");
    EXPECT_EQ(thrown_text([&] { assert_no_error(no_text.get()); }),
        R"(Object [MG] could not be found in JSON string '{"T":9,"I":0,"ER":-1}'.)");

    json_ptr text_code = parse_json_msg(R"({"T":9,"ER":"1"})");
    EXPECT_EQ(thrown_text([&] { get_segment_err_code(text_code.get()); }),
        R"(Object [ER] could not be found in JSON string '{"T":9,"ER":"1"}'.)");

    EXPECT_EQ(thrown_text([] { get_segment_err_code(nullptr); }),
        "get_segment_err_code: wrong parameters (resp_segment=NULL)");
    EXPECT_EQ(thrown_text([] { assert_no_error(nullptr); }), "assert_no_error: wrong parameters (resp_segment=NULL)");
}

TEST(JsonToString, NullGivesEmptyText)
{
    EXPECT_EQ(JSON_to_string(nullptr), "");
    json_ptr root = parse_json_msg("[1, \"a\" , {}]");
    EXPECT_EQ(JSON_to_string(root.get()), R"([1,"a",{}])");
}

} // namespace
