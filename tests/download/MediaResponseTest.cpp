#include "download/MediaResponse.h"

#include <gtest/gtest.h>

namespace vorn {
namespace {

using Kind = MediaResponse::Kind;

TEST(MediaResponseTest, RedirectsNeedALocation) {
    auto r = MediaResponse::Check("HTTP/1.1 302 Found\r\nlocation:   http://h:81/a.mp3 \r\n", true, "U");
    EXPECT_EQ(r.kind, Kind::Redirect);
    EXPECT_EQ(r.location, "http://h:81/a.mp3");
    r = MediaResponse::Check("HTTP/1.1 302 Found\r\n", true, "U");
    EXPECT_EQ(r.kind, Kind::Unusable);
    EXPECT_EQ(r.problem, "HTTPFileRetriever : No location in redirect header : file=U");
    r = MediaResponse::Check("HTTP/1.1 302 Found\r\nLocation: x", true, "U");
    EXPECT_EQ(r.problem, "HTTPFileRetriever : Error in location in redirect header : file=U");
    r = MediaResponse::Check("HTTP/1.1 302 Found\r\nLocation: \r\n", true, "U");
    EXPECT_EQ(r.problem, "HTTPFileRetriever : Error getting new location in redirect header : file=U");
    // The location goes into the next request line: no control character may ride along.
    r = MediaResponse::Check("HTTP/1.1 302 Found\r\nLocation: http://h/a\rX-Injected: 1\r\n", true, "U");
    EXPECT_EQ(r.kind, Kind::Unusable);
    EXPECT_EQ(r.problem, "HTTPFileRetriever : Control character in redirect location : file=U");
    // A second redirect is no body.
    r = MediaResponse::Check("HTTP/1.1 302 Found\r\nLocation: http://h/\r\n", false, "U");
    EXPECT_EQ(r.kind, Kind::Unusable);
    EXPECT_EQ(r.problem, "HTTPFileRetriever : Error invalid http response : header=\nHTTP/1.1 302 Found\r\nLocation: http://h/\r\n");
}

TEST(MediaResponseTest, ABodyNeeds200OkAndAWholeDecimalLength) {
    auto r = MediaResponse::Check("HTTP/1.0 200 OK\r\ncontent-length:2500\r\n", true, "U");
    EXPECT_EQ(r.kind, Kind::Body);
    EXPECT_EQ(r.contentLength, 2500);
    r = MediaResponse::Check("HTTP/1.0 200 OK\r\nContent-Length: \t9223372036854775807 \r\n", true, "U");
    EXPECT_EQ(r.contentLength, 9223372036854775807);
    for (const char* bad : {"9223372036854775808", "18446744073709551616", "-5", "+5", "abc", "12abc", "", "1 2",
                            "0x10"}) {
        const std::string head = std::string("HTTP/1.0 200 OK\r\nContent-Length: ") + bad + "\r\n";
        r = MediaResponse::Check(head, true, "U");
        EXPECT_EQ(r.kind, Kind::Unusable) << bad;
        EXPECT_EQ(r.problem, "HTTPFileRetriever : Error in Content-Length header : header=\n" + head) << bad;
    }
    r = MediaResponse::Check("HTTP/1.0 200 OK\r\nContent-Length: 5", true, "U");  // no line end
    EXPECT_EQ(r.kind, Kind::Unusable);
    r = MediaResponse::Check("HTTP/1.0 200 OK\r\n", true, "U");
    EXPECT_EQ(r.problem, "HTTPFileRetriever : Error no Content-Length header : header=\nHTTP/1.0 200 OK\r\n");
    r = MediaResponse::Check("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n", true, "U");
    EXPECT_EQ(r.problem, "HTTPFileRetriever : Error invalid http response : header=\nHTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n");
}

}  // namespace
}  // namespace vorn
