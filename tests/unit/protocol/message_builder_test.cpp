#include "common/log.h"
#include "protocol/message_builder.h"
#include "support/test_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace
{

struct msg_buffer {
    char data[QM_MSG_BUFFER_SIZE];
    msg_buffer() { std::memset(data, 'x', sizeof data); }
    std::string text() const { return std::string(data); }
};

const std::string ENVELOPE_HEAD = R"({"H":{"V":113},"B":[)";
std::string envelope(const std::string& segment)
{
    return ENVELOPE_HEAD + segment + "]}";
}

TEST(CreateJsonMsg, CatalogueTextsAreExact)
{
    struct {
        const char* name;
        bool (*build)(char*);
        std::string segment;
    } cases[] = {
        { "1 all texts", [](char* b) { return create_json_msg(1, b, "a", "b", "c", "d"); },
            R"({"T":1,"I":0,"ER":0,"DT":{"1-1":"a","1-2":"b","1-3":"c","1-4":"d"}})" },
        { "1 one text empty", [](char* b) { return create_json_msg(1, b, "a", "", "c", "d"); }, R"({"T":1})" },
        { "1 one text null", [](char* b) { return create_json_msg(1, b, "a", "b", "c", nullptr); }, R"({"T":1})" },
        { "2 flag set", [](char* b) { return create_json_msg(2, b, 7); }, R"({"T":2,"I":0,"ER":0,"DT":{"2-1":1}})" },
        { "2 error form", [](char* b) { return create_json_msg(2, b, 0, nullptr, "no luck"); },
            R"({"T":2,"I":0,"ER":1,"MG":"no luck"})" },
        { "2 texts", [](char* b) { return create_json_msg(2, b, 0, "p", "q", "r", "s"); },
            R"({"T":2,"I":0,"ER":0,"DT":{"2-1":0,"2-2":"p","2-3":"q","2-4":"r","2-5":"s"}})" },
        { "3 two texts", [](char* b) { return create_json_msg(3, b, "one", "two"); },
            R"({"T":3,"DT":{"3-1":"one","3-2":"two"}})" },
        { "3 second empty", [](char* b) { return create_json_msg(3, b, "one", ""); }, R"({"T":3,"DT":{"3-1":"one"}})" },
        { "4 both", [](char* b) { return create_json_msg(4, b, "UC1", "UD1"); },
            R"({"T":4,"DT":{"4-1":"UC1","4-2":"UD1"}})" },
        { "4 UDID empty", [](char* b) { return create_json_msg(4, b, "UC1", ""); }, R"({"T":4,"DT":{"4-1":"UC1"}})" },
        { "4 UCID empty", [](char* b) { return create_json_msg(4, b, "", "UD1"); }, R"({"T":4,"DT":{"4-2":"UD1"}})" },
        { "4 both empty", [](char* b) { return create_json_msg(4, b, "", ""); }, R"({"T":4})" },
        { "4 null counts as empty", [](char* b) { return create_json_msg(4, b, nullptr, "UD1"); },
            R"({"T":4,"DT":{"4-2":"UD1"}})" },
        { "5 answer", [](char* b) { return create_json_msg(5, b, "10.0.0.1", "PEM"); },
            R"({"T":5,"I":0,"ER":0,"DT":{"5-1":"10.0.0.1","5-2":"PEM"}})" },
        { "5 error form", [](char* b) { return create_json_msg(5, b, nullptr, "unknown device"); },
            R"({"T":5,"I":0,"ER":1,"MG":"unknown device"})" },
        { "6", [](char* b) { return create_json_msg(6, b); }, R"({"T":6})" },
        { "7", [](char* b) { return create_json_msg(7, b, "ca", "crt", "key"); },
            R"({"T":7,"I":0,"ER":0,"DT":{"7-1":"ca","7-2":"crt","7-3":"key"}})" },
        { "8", [](char* b) { return create_json_msg(8, b, "-----BEGIN CERTIFICATE-----\nAB\n"); },
            R"({"T":8,"DT":{"8-1":"-----BEGIN CERTIFICATE-----\nAB\n"}})" },
        { "9 approved", [](char* b) { return create_json_msg(9, b, 1); }, R"({"T":9,"I":0,"ER":0,"DT":{"9-1":1}})" },
        { "9 refusal form", [](char* b) { return create_json_msg(9, b, 0, -1); }, R"({"T":9,"I":0,"ER":-1})" },
        { "9 wait", [](char* b) { return create_json_msg(9, b, 0, 30); },
            R"({"T":9,"I":0,"ER":0,"DT":{"9-1":0,"9-2":30}})" },
        { "9 no wait", [](char* b) { return create_json_msg(9, b, 0, -2); }, R"({"T":9,"I":0,"ER":0,"DT":{"9-1":0}})" },
        { "10", [](char* b) { return create_json_msg(10, b); }, R"({"T":10})" },
        { "21", [](char* b) { return create_json_msg(21, b, "UD1", "SN9"); },
            R"({"T":21,"DT":{"21-1":"UD1","21-2":"SN9"}})" },
        { "22", [](char* b) { return create_json_msg(22, b); }, R"({"T":22,"I":0,"ER":0})" },
    };
    for (const auto& c : cases) {
        msg_buffer buf;
        EXPECT_TRUE(c.build(buf.data)) << c.name;
        EXPECT_EQ(buf.text(), envelope(c.segment)) << c.name;
    }
}

TEST(CreateJsonMsg, UnsupportedTypeLeavesBufferEmpty)
{
    log_capture log;
    msg_buffer buf;
    EXPECT_FALSE(create_json_msg(11, buf.data, "x"));
    EXPECT_EQ(buf.text(), "");
    EXPECT_EQ(
        log.lines(), (std::vector<log_line> { { LOG_ERR, "create_json_msg: Unsupported type of message (11)" } }));
}

// The longest text that fits is 8999 characters; one more fails with the buffer line.
TEST(CreateJsonMsg, TextLimitIsBufferMinusOne)
{
    const std::size_t overhead = envelope(R"({"T":8,"DT":{"8-1":""}})").size();
    std::string fits(QM_MSG_BUFFER_SIZE - 1 - overhead, 'A');
    msg_buffer buf;
    ASSERT_TRUE(create_json_msg(8, buf.data, fits.c_str()));
    EXPECT_EQ(std::strlen(buf.data), QM_MSG_BUFFER_SIZE - 1);

    log_capture log;
    std::string too_long = fits + "A";
    msg_buffer buf2;
    EXPECT_FALSE(create_json_msg(8, buf2.data, too_long.c_str()));
    EXPECT_EQ(buf2.text(), "");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].priority, LOG_ERR);
    EXPECT_EQ(
        log.lines()[0].text.rfind(
            "create_json_msg8: Copying JSON string to msg buffer failed - buffer is probably too small (9000). ", 0),
        0u)
        << log.lines()[0].text;
}

TEST(CreateJsonMsg, FourThousandByteCertificateFits)
{
    std::string cert = "-----BEGIN CERTIFICATE-----\n" + std::string(4000, 'M') + "\n-----END CERTIFICATE-----\n";
    msg_buffer buf;
    EXPECT_TRUE(create_json_msg(8, buf.data, cert.c_str()));
    EXPECT_NE(std::string(buf.data).find(std::string(4000, 'M')), std::string::npos);
}

} // namespace
