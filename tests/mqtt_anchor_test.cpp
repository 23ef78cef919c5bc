// The load benchmark's mosquitto anchor end to end: telvane-publish sends a replay file to a real
// mosquitto, one topic per key, and telvane-mqtt-readers follows it. Pins down the
// topics, the stamps the publisher adds, the wildcard filtered to the list, and that loss and
// duplicates are counted as on the relay's port.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using namespace testsupport;
using ::testing::HasSubstr;

class MqttAnchor : public ::testing::Test {
 protected:
  // mosquitto from the Debian package on a free loopback port, nothing stored.
  void SetUp() override {
    if (!FileExists("/usr/sbin/mosquitto")) GTEST_SKIP() << "mosquitto is not installed (scripts/setup-debian.sh)";
    nPort = FreePort();
    const std::string sConfig = dir.Path() + "/mosquitto.conf";
    ASSERT_TRUE(WriteFile(sConfig, "listener " + std::to_string(nPort) +
                                       " 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest stderr\n"));
    ASSERT_TRUE(broker.Start({"/usr/sbin/mosquitto", "-c", sConfig}));
    ASSERT_TRUE(PollUntil([&] { return broker.Stderr().find(" running") != std::string::npos || !broker.Running(); }));
    ASSERT_TRUE(broker.Running()) << broker.Stderr();
  }

  std::string Address() const { return "127.0.0.1:" + std::to_string(nPort); }

  TTempDir dir;
  TProcess broker;
  int nPort = 0;
};

std::string QueueBlock(int nQueue, int nId) {
  return "Event: Join\nFile: app_queue.c\nQueue: " + std::to_string(nQueue) + "\nUniqueid: " + std::to_string(nId) +
         "\n\n";
}

// Stamps 1-10 go to a queue outside the readers' list (the "+" wildcard brings them in, the
// filter drops them), 11-50 to the twenty queues of the list, twice over with --repeat: the
// second pass repeats no stamp, so the readers see 11-50 and 61-100 once each.
TEST_F(MqttAnchor, PublishedEventsReachEveryReaderOfTheirKeysOnce) {
  std::string sReplay;
  for (int n = 0; n < 10; ++n) sReplay += QueueBlock(10050, n);
  for (int n = 0; n < 40; ++n) sReplay += QueueBlock(10001 + n % 20, 100 + n);
  ASSERT_TRUE(WriteFile(dir.Path() + "/events.txt", sReplay));
  TProcess readers;
  ASSERT_TRUE(readers.Start({TELVANE_MQTT_READERS_BINARY, "--mqtt", Address(), "--queues", "10001-10020", "--load", "3",
                             "--count", "80", "--expect-seq", "11-100", "--duration", "60"}));
  ASSERT_TRUE(PollUntil([&] { return readers.Stdout().starts_with("READY\n") || !readers.Running(); })) << readers.Stderr();
  TProcess publisher;
  ASSERT_TRUE(publisher.Start({TELVANE_PUBLISH_BINARY, "--replay", dir.Path() + "/events.txt", "--repeat", "2",
                               "--rate", "0", "--mqtt", Address()}));
  ASSERT_TRUE(PollUntil([&] { return publisher.Stdout().starts_with("READY\n") || !publisher.Running(); }));
  ASSERT_TRUE(publisher.Running()) << publisher.Stderr();
  ASSERT_TRUE(publisher.WriteStdin("go\n"));
  EXPECT_EQ(publisher.WaitExit(), 0) << publisher.Stderr();
  EXPECT_THAT(publisher.Stdout(), HasSubstr("DONE 100\n"));
  EXPECT_EQ(readers.WaitExit(), 0) << readers.Stderr();
  // Two passes of 40 listed events each reach all three readers; 51-60 never reach them, so
  // they count as lost against 11-100: ten per reader.
  EXPECT_THAT(readers.Stdout(), HasSubstr("RESULT clients=3 frames=240 ")) << readers.Stdout();
  EXPECT_THAT(readers.Stdout(), HasSubstr(" lost=30 dup=0 ")) << readers.Stdout();
}

// The readers follow one broker and send nothing: a command line asking for anything else is
// refused with exit code 2, naming what is wrong, before any connection is tried.
TEST(MqttReaders, BadCommandLinesAreRefusedNamingTheOption) {
  struct TCase {
    std::vector<std::string> vArgs;
    const char* sMentions;
  };
  const std::vector<TCase> vCases = {
      {{"--mqtt", "127.0.0.1:1883", "--send", "A"}, "--mqtt follows a broker alone"},
      {{"--mqtt", "127.0.0.1:1883", "--nats", "nats://h:4222"}, "--mqtt follows a broker alone"},
      {{"--queues", "10001"}, "--mqtt HOST:PORT names the broker"},
      {{"--queues", "10001", "--mqtt"}, "--mqtt needs a value"},
      {{"--mqtt=127.0.0.1:1883", "--bogus"}, "unknown option --bogus"},
  };
  for (const TCase& c : vCases) {
    std::vector<std::string> vArgs = {TELVANE_MQTT_READERS_BINARY};
    vArgs.insert(vArgs.end(), c.vArgs.begin(), c.vArgs.end());
    TProcess readers;
    ASSERT_TRUE(readers.Start(vArgs));
    EXPECT_EQ(readers.WaitExit(), 2) << c.sMentions;
    EXPECT_THAT(readers.Stderr(), HasSubstr(c.sMentions));
  }
}

}  // namespace
