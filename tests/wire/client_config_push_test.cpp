#include "wire/client_config_push.h"

#include <gtest/gtest.h>

#include "wire/codes.h"
#include "wire_bytes.h"

namespace rk::wire {
namespace {

using namespace testing;
using namespace std::string_literals;

TEST(ClientConfigPush, LinesEndInCrLfThenOneNulAllAtTheBestLevel) {
    const struct {
        std::vector<std::string> lines;
        std::string text;
    } cases[] = {
        {{"a", "b"}, "a\r\nb\r\n"s + '\0'},
        {{"", "x=1"}, "\r\nx=1\r\n"s + '\0'},
        {{}, "\0"s},
    };
    for (const auto& c : cases) {
        const CodecResult payload = encode_client_config_push(c.lines);
        ASSERT_TRUE(payload.ok()) << payload.error;
        EXPECT_EQ(payload.bytes.at(1), 0xDA);
        EXPECT_EQ(decompress(payload.bytes, 1 << 20).bytes, bytes_of(c.text));
    }
}

TEST(ClientConfigPush, HeadHasNoArgumentsAndAsksForNoAcknowledgement) {
    const PacketHead head = client_config_push_head();
    EXPECT_EQ(head.kind, std::uint8_t(Kind::data));
    EXPECT_EQ(head.code, code_of(Data::client_config));
    EXPECT_EQ(head.want_ack, 0);
    EXPECT_EQ(head.arg1 | head.arg2 | head.arg3 | head.arg4, 0);
}

}  // namespace
}  // namespace rk::wire
