// The share's URL forms: which port a URL carries, how host, port and path are joined and cut,
// and which texts the Change Port dialog accepts.
#include <doctest.h>

#include <array>
#include <string>
#include <vector>

#include "ServerUrls.h"

namespace {

std::u16string url(const std::u16string& host, uint16_t port, const char16_t* path = nullptr,
                   size_t pathLength = 0) {
    size_t length = 0;
    char16_t* text = makeUrl(host.data(), host.size(), port, path, pathLength, &length);
    std::u16string out(text, length);
    CHECK(text[length] == 0);
    delete[] text;
    return out;
}

}  // namespace

TEST_CASE("url_port_prefers_80_then_the_first_active_then_configured") {
    struct Case {
        std::vector<uint16_t> active, configured;
        uint16_t expected;
    };
    const Case cases[] = {
        {{8080, 80}, {8080}, 80},        // 80 anywhere among the active ports wins
        {{8080}, {80, 8080}, 8080},      // active ports win over configured ones
        {{8081, 8080}, {}, 8081},        // first to become active, not the smallest
        {{}, {8080, 80}, 80},            // nothing active: the configured list decides
        {{}, {5555, 8080}, 5555},
        {{}, {}, 80},
    };
    for (const Case& c : cases) {
        CAPTURE(c.expected);
        CHECK(urlPort(c.active.data(), c.active.size(), c.configured.data(), c.configured.size()) ==
              c.expected);
    }
}

TEST_CASE("url_forms_join_host_port_and_path") {
    CHECK(url(u"1.2.3.4", 80) == u"http://1.2.3.4/");
    CHECK(url(u"1.2.3.4", 8080) == u"http://1.2.3.4:8080/");
    CHECK(url(u"1.2.3.4", 65535) == u"http://1.2.3.4:65535/");
    CHECK(url(u"1.2.3.4", 1) == u"http://1.2.3.4:1/");
    CHECK(url(kLoopbackHost, 8081) == u"http://127.0.0.1:8081/");
    CHECK(url(u"example.test", 80, kSendFileSwfPath, 14) == u"http://example.test/send_file_swf/");
    CHECK(url(u"h", 8080, kSendFileFormPath, 15) == u"http://h:8080/send_file_form/");
    // An emptied address box still gives a well-formed text.
    CHECK(url(u"", 8080) == u"http://:8080/");
    char16_t* noHost = makeUrl(nullptr, 0, 80, nullptr, 0, nullptr);
    CHECK(std::u16string(noHost) == u"http:///");
    delete[] noHost;
}

TEST_CASE("url_host_and_path_are_cut_at_their_limits") {
    // The host buffer ends at its first NUL even when the caller passes the buffer size.
    std::u16string buffer = u"10.0.0.5";
    buffer.resize(512, u'\0');
    buffer[300] = u'x';   // stale bytes behind the terminator must not leak into the URL
    CHECK(url(buffer, 80) == u"http://10.0.0.5/");

    std::u16string longHost(kUrlHostMaxUnits + 50, u'a');
    CHECK(url(longHost, 80) == u"http://" + std::u16string(kUrlHostMaxUnits, u'a') + u"/");

    std::u16string longPath(kUrlPathMaxUnits + 10, u'p');
    std::u16string expected = u"http://h:81/" + std::u16string(kUrlPathMaxUnits, u'p');
    CHECK(url(u"h", 81, longPath.data(), longPath.size()) == expected);
}

TEST_CASE("change_port_text_accepts_only_1_to_65535") {
    struct Case {
        std::u16string text;
        uint16_t port;
    };
    const Case cases[] = {
        {u"80", 80}, {u"1", 1}, {u"65535", 65535}, {u"08080", 8080}, {u"000000080", 80},
        {u"", 0}, {u"0", 0}, {u"65536", 0}, {u"99999", 0}, {u"123456789", 0},
        {u"-1", 0}, {u" 80", 0}, {u"80a", 0}, {u"8o8o", 0},
        // Only the first nine units are read: a tenth digit does not make 65535 valid or invalid.
        {u"0000000080", 8}, {u"99999999999999999999", 0},
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.text.begin(), c.text.end()));
        CHECK(portFromText(c.text.data(), c.text.size()) == c.port);
    }
    CHECK(portFromText(nullptr, 0) == 0);
}

TEST_CASE("local_address_prefers_private_ranges_and_the_earlier_choice") {
    struct Case {
        std::vector<std::array<uint8_t, 4>> addresses;
        std::u16string current;
        int expected;
    };
    const Case cases[] = {
        {{{10, 0, 0, 5}, {192, 168, 1, 7}}, u"", 1},              // 3 over 2
        {{{10, 0, 0, 5}, {192, 168, 1, 7}}, u"10.0.0.5", 0},      // 12 over 3
        {{{172, 20, 0, 1}, {192, 0, 2, 1}}, u"", 0},              // 2 over 1
        {{{172, 15, 0, 1}, {172, 32, 0, 1}, {172, 31, 9, 9}}, u"", 2},   // only 16..31 is private
        {{{203, 0, 113, 9}, {198, 51, 100, 2}}, u"", 0},          // public only: the first
        {{{192, 168, 0, 2}, {192, 168, 0, 3}}, u"", 0},           // ties keep the first
        {{{192, 168, 0, 2}, {192, 168, 0, 3}}, u"192.168.0.3", 1},
        // A stored text that only starts like an address earns no bonus.
        {{{192, 168, 0, 2}, {192, 168, 0, 3}}, u"192.168.0.33", 0},
        {{{10, 1, 1, 1}}, u"gone.address", 0},
        {{}, u"10.0.0.5", -1},
    };
    for (const Case& c : cases) {
        CAPTURE(c.expected);
        const uint8_t(*addresses)[4] = reinterpret_cast<const uint8_t(*)[4]>(c.addresses.data());
        CHECK(chooseLocalAddress(addresses, c.addresses.size(), c.current.data(), c.current.size()) == c.expected);
    }
    // The stored buffer is NUL-terminated well before the length the caller passes.
    std::u16string buffer = u"10.0.0.5";
    buffer.resize(512, u'\0');
    const uint8_t two[2][4] = {{192, 168, 1, 7}, {10, 0, 0, 5}};
    CHECK(chooseLocalAddress(two, 2, buffer.data(), 510) == 1);
}

TEST_CASE("dotted_address_text") {
    const uint8_t cases[][4] = {{0, 0, 0, 0}, {255, 255, 255, 255}, {10, 0, 20, 3}};
    const char16_t* expected[] = {u"0.0.0.0", u"255.255.255.255", u"10.0.20.3"};
    for (size_t i = 0; i < 3; ++i) {
        char16_t out[16];
        size_t length = formatDottedAddress(cases[i], out, 16);
        CHECK(std::u16string(out, length) == expected[i]);
        CHECK(out[length] == 0);
    }
}
