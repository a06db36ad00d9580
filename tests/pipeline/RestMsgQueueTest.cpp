#include "RestMsgQueue.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/ExecutorHarness.h"

using namespace zelvan::fennic;

namespace {

using fennic_test::Message;

// Oldest first, then a take on the empty queue blocks until the next push.
TEST(RestMsgQueueTest, ReturnsOldestFirstBlocksWhenEmptyAndLogsSize) {
  fennic_test::ServicesScope services;
  RestMsgQueue* queue = RestMsgQueue::getInstance();
  queue->pushMsg(Message(3, "a"));
  queue->pushMsg(Message(9, "b"));
  queue->pushMsg(Message(9, "b"));
  EXPECT_EQ(queue->getNextRestMsg().getData(), "a");
  EXPECT_EQ(queue->getNextRestMsg().getType(), 9);
  EXPECT_EQ(queue->getNextRestMsg().getData(), "b");
  std::thread producer([&] {
    services.logger->WaitFor(" Waiting for message ");
    queue->pushMsg(Message(3, "late"));
  });
  EXPECT_EQ(queue->getNextRestMsg().getData(), "late");
  producer.join();
  EXPECT_EQ(services.logger->Texts("zelvan::fennic::RestMsgQueue::getNextRestMsg"),
            (std::vector<std::string>{"Got new message(s), msgQueue size: 3", "Got new message(s), msgQueue size: 2",
                                      "Got new message(s), msgQueue size: 1", " Waiting for message ",
                                      "Got new message(s), msgQueue size: 1"}));
  RestMsgQueue::releaseInstance();
}

}  // namespace
