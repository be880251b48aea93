#include "station/web/HttpRequestHead.h"

#include <gtest/gtest.h>

#include <vector>

namespace vorn::station::test {
namespace {

TEST(HttpRequestHeadTest, ReadsTheClientsRequestForms) {
    HttpRequestHead head;
    std::string error;
    // A request token carries CR LF pairs inside the target.
    const std::string token = "GET /QUJD\r\nREVG\r\nR0g= HTTP/1.0\r\n\r\n";
    ASSERT_EQ(FindHeadEnd(token), token.size());
    ASSERT_TRUE(ParseRequestHead(token, head, error)) << error;
    EXPECT_EQ(head.method, "GET");
    EXPECT_EQ(head.target, "/QUJD\r\nREVG\r\nR0g=");
    EXPECT_EQ(head.version, "HTTP/1.0");
    EXPECT_FALSE(head.absolute);

    // HTTP/1.1 with LF-separated headers and no blank after the colon, through a proxy.
    ASSERT_TRUE(ParseRequestHead("GET http://media.example:8000.vorn-cdn.invalid:8090/media/4.mp3 HTTP/1.1\n"
                                 "Host:media.example:8000.vorn-cdn.invalid:8090\nConnection: close\r\n\r\n",
                                 head, error));
    EXPECT_TRUE(head.absolute);
    EXPECT_EQ(head.urlHost, "media.example:8000.vorn-cdn.invalid");
    EXPECT_EQ(head.urlPort, 8090);
    EXPECT_EQ(head.path, "/media/4.mp3");
    EXPECT_EQ(head.Header("host"), "media.example:8000.vorn-cdn.invalid:8090");
    EXPECT_EQ(head.Header("CONNECTION"), "close");

    ASSERT_TRUE(ParseRequestHead("GET http://h HTTP/1.0\r\n\r\n", head, error));
    EXPECT_EQ(head.urlHost, "h");
    EXPECT_EQ(head.urlPort, 80);
    EXPECT_EQ(head.path, "/");
}

TEST(HttpRequestHeadTest, RefusesWhatIsNoRequest) {
    HttpRequestHead head;
    std::string error;
    for (const std::string& bad : std::vector<std::string>{"", "GET", "GET / HTTP/2.0\r\n\r\n", "get / HTTP/1.0\r\n\r\n",
                                  "GET  HTTP/1.0\r\n\r\n", "GET / HTTP/1.0junk\r\n\r\n",
                                  "GET http:///x HTTP/1.0\r\n\r\n", std::string("\0\0\0 / HTTP/1.0\r\n\r\n", 18)}) {
        EXPECT_FALSE(ParseRequestHead(bad, head, error)) << bad;
    }
    EXPECT_EQ(FindHeadEnd("GET / HTTP/1.0\r\n"), std::string::npos);
    EXPECT_EQ(FindHeadEnd("GET / HTTP/1.0\n\nrest"), 16u);
}

}  // namespace
}  // namespace vorn::station::test
