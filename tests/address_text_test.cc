// How connection addresses are shown to commands and in the log.
#include "sockherd.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ostream>
#include <string>

using namespace sockherd;

namespace {

socket_address make_address(const char *text, int port)
{
    socket_address address = {};
    if (inet_pton(AF_INET, text, &address.v4.sin_addr) == 1) {
        address.v4.sin_family = AF_INET;
        address.v4.sin_port = htons(static_cast<uint16_t>(port));
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text, &address.v6.sin6_addr), 1) << text;
        address.v6.sin6_family = AF_INET6;
        address.v6.sin6_port = htons(static_cast<uint16_t>(port));
        address.v6.sin6_scope_id = 3;  // never shown
    }
    return address;
}

struct address_case {
    const char *input;
    int port;
    const char *proto;
    const char *text;
};

void PrintTo(const address_case &c, std::ostream *out)
{
    *out << c.input;
}

class AddressText : public testing::TestWithParam<address_case> {};

TEST_P(AddressText, ShowsProtoTextAndPort)
{
    const auto &c = GetParam();
    socket_address address = make_address(c.input, c.port);
    EXPECT_STREQ(proto_name(&address), c.proto);
    EXPECT_STREQ(address_text(&address), c.text);
    EXPECT_EQ(address_port(&address), c.port);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, AddressText,
    testing::Values(address_case{"192.0.2.7", 80, "TCP", "192.0.2.7"},
                    address_case{"0.0.0.0", 0, "TCP", "0.0.0.0"},
                    address_case{"255.255.255.255", 65535, "TCP", "255.255.255.255"},
                    address_case{"::1", 65535, "TCP6", "::1"},
                    address_case{"::ffff:192.0.2.7", 443, "TCP", "192.0.2.7"},
                    address_case{"::ffff:0.0.0.0", 1, "TCP", "0.0.0.0"},
                    address_case{"::192.0.2.7", 2, "TCP6", "::192.0.2.7"},
                    address_case{"fe80::1", 32768, "TCP6", "fe80::1"},
                    address_case{"2001:db8:ffff:ffff:ffff:ffff:ffff:ffff", 9, "TCP6",
                                 "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff"}));

TEST(AddressText, TextLivesInOneSharedBuffer)
{
    socket_address local = make_address("10.0.0.1", 1);
    socket_address remote = make_address("::1", 2);
    const char *first = address_text(&local);
    const char *second = address_text(&remote);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, address_buffer);
    EXPECT_STREQ(first, "::1");
}

}  // namespace
