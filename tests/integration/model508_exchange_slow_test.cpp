// The firmware update's buffer exchange waits for its answer three times, 5 s apart (about 16 s
// when none comes): an answer that arrives during the wait is taken, none at all fails.
#include <gtest/gtest.h>

#include <thread>

#include "session508.h"

namespace {

struct Exchange508 : vtest::Session508 {};

TEST_F(Exchange508, AnswerWithinTheThreeTriesOrFailure) {
    unsigned char query[48] = {};
    unsigned char reply[1024];
    int replyLength = sizeof reply;
    // The answer comes after the first try has run out (about 2 s): the second try takes it.
    std::thread late([&] {
        vel::sleepMs(3000);
        peer->raise(0x61, {1, 0, 'v'});
    });
    EXPECT_EQ(velCommunicate508(*dc, 0x61, query, sizeof query, reply, &replyLength), 1);
    late.join();
    EXPECT_EQ(reply[19], 'v');
    EXPECT_EQ(replyLength, 1024);
    EXPECT_EQ(count("wait 3nd times"), 0);

    replyLength = sizeof reply;
    EXPECT_EQ(velCommunicate508(*dc, 0x61, query, sizeof query, reply, &replyLength), 0);
    env.expectLogInOrder({"wait 3nd times.........",
                          "Read control command [61] feedback failed! ret = 0xffffff9d!",
                          "******Receive data failed err=-99"});
    EXPECT_EQ(peer->outs().size(), 2u);  // each exchange sent its buffer once
}

}  // namespace
