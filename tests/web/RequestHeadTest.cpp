// A request's head as the web service reads it before httplib: the strict form passed
// on without Range, the bytes after it left for what comes next, and the limits.
#include <gtest/gtest.h>

#include "web/RequestHead.hpp"

using namespace serwer;

using State = RequestHead::State;

TEST(RequestHeadTest, AStrictHeadIsPassedOnWithoutRangesAndLeavesWhatFollows) {
    const std::string next = "GET /api/mapa HTTP/1.1\r\n";
    const std::string head =
        "\r\nGET /api/zdrowie?x=1 HTTP/1.1\r\nHost: x\r\nrange: bytes=0-9\r\nIf-Range: \"a\"\r\nX-A:\t\xC5\x82 \r\n\r\n";
    const RequestHead r = ReadRequestHead(head + next, 1024);
    ASSERT_EQ(r.state, State::Ready);
    EXPECT_EQ(r.forwarded, "GET /api/zdrowie?x=1 HTTP/1.1\r\nHost: x\r\nX-A:\t\xC5\x82 \r\n\r\n");
    EXPECT_EQ(r.used, head.size());
    EXPECT_FALSE(r.hasBody);

    EXPECT_EQ(ReadRequestHead(next, 1024).state, State::Incomplete);
    EXPECT_EQ(ReadRequestHead("GET / HTTP/1.1\r", 1024).state, State::Incomplete);
    EXPECT_TRUE(ReadRequestHead("GET / HTTP/1.0\r\nContent-Length: 2\r\n\r\nab", 1024).hasBody);
    EXPECT_TRUE(ReadRequestHead("GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 1024).hasBody);
}

TEST(RequestHeadTest, OtherShapesAndHeadsOverTheLimitAreRefused) {
    for (const char* wrong :
         {"GET  / HTTP/1.1\r\n\r\n", "GET / HTTP/2.0\r\n\r\n", "GET /a\x7F HTTP/1.1\r\n\r\n", "G(T / HTTP/1.1\r\n\r\n",
          "GET / HTTP/1.1\r\nX-A: b\rX-B: c\r\n\r\n", "GET / HTTP/1.1\r\n: b\r\n\r\n", "GET / HTTP/1.1\r\nX-A b\r\n\r\n",
          "GET / HTTP/1.1\r\nX-A: b\x01\r\n\r\n", "GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
          "GET / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "GET / HTTP/1.1\n\n"}) {
        const RequestHead r = ReadRequestHead(wrong, 1024);
        EXPECT_EQ(r.state, State::Refused) << wrong;
        EXPECT_EQ(r.status, 400) << wrong;
    }
    // The limit counts every byte of the head: these 18 fit in 18, not in 17.
    EXPECT_EQ(ReadRequestHead("GET / HTTP/1.1\r\n\r\n", 18).state, State::Ready);
    EXPECT_EQ(ReadRequestHead("GET / HTTP/1.1\r\n\r\n", 17).status, 400);
    EXPECT_EQ(ReadRequestHead("GET / HTTP/1.1\r\n", 15).status, 414);
    EXPECT_EQ(ReadRequestHead("GET /aaaaaaaaaa", 15).status, 414);
    EXPECT_EQ(ReadRequestHead("GET / HTTP/1.1\r\nX-A: bbbb", 20).status, 400);

    EXPECT_EQ(BodySlice("abc", 1, 100), "bc");
    EXPECT_EQ(BodySlice("abc", 3, 1), "");
    EXPECT_EQ(BodySlice("abc", 20000, 1), "");
}
