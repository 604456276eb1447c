// The server side of the log pipe, driven by the test itself: what a client leaves behind
// before the server waits for it, who may hold the pipe's name, and how a client's queued
// messages are read together.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_server_fixture.h"
#include "message_reader.h"

namespace test {
namespace {

std::string ReadMessage(platform::PipeEnd instance) {
  std::string buffer(platform::kMaxMessage, '\0');
  int length = 0;
  if (!platform::ReadPipeMessage(instance, &buffer[0], platform::kMaxMessage, &length))
    return "(read failed)";
  return buffer.substr(0, static_cast<size_t>(length));
}

// Guards against losing every message of a client that opens an instance, writes and
// closes before the server's wait begins, and against a server that shares its clients
// with whoever held the name first.
TEST(PipeInstance, ClientGoneBeforeTheWaitIsReadAndAHeldNameIsNeverShared) {
  ScratchDir dir;
  const std::string pipe = UniquePipeName(dir);
  platform::PipeEnd instance;
  ASSERT_TRUE(platform::CreatePipeInstance(pipe.c_str(), &instance));
  ASSERT_TRUE(SendMessages(pipe, {"first\n", "second\n"}));
  ASSERT_TRUE(platform::ConnectPipeClient(&instance));
  EXPECT_EQ(ReadMessage(instance), "first\n");
  EXPECT_EQ(ReadMessage(instance), "second\n");
  EXPECT_EQ(ReadMessage(instance), "(read failed)");
  platform::PipeEnd next;
  ASSERT_TRUE(platform::CreatePipeInstance(pipe.c_str(), &next));
  platform::DisconnectAndCloseServerEnd(instance);

  // While this process offers the name, a log server started on it refuses to serve.
  RunningProgram server;
  EXPECT_EQ(RunWhileTheManagerStays(
                &server, {LoggerPath(), "--input=" + pipe, "--output=" + dir.File("log")}),
            0)
      << "the server took the name";
  EXPECT_EQ(server.Stdout(), kCreatePipeFailed);
  platform::CloseUnconnectedServerEnd(next);
}

std::vector<std::string> Texts(const MessageBatch& batch) {
  std::vector<std::string> texts;
  for (int i = 0; i < batch.count; ++i)
    texts.emplace_back(batch.blocks[i].data, static_cast<size_t>(batch.blocks[i].length));
  return texts;
}

// Guards against a reader that, once a client is ahead of it and each read first takes what
// is queued without waiting, loses or repeats a message, or takes the end the client leaves
// for an empty message and reads on for ever.
TEST(PipeInstance, ReaderTakesQueuedMessagesTogetherInOrderAndSeesTheClientsEnd) {
  ScratchDir dir;
  const std::string pipe = UniquePipeName(dir);
  platform::PipeEnd instance;
  ASSERT_TRUE(platform::CreatePipeInstance(pipe.c_str(), &instance));
  PipeClient client;
  ASSERT_TRUE(client.Connect(pipe));
  ASSERT_TRUE(platform::ConnectPipeClient(&instance));
  {
    MessageReader reader(instance);
    const std::vector<std::vector<std::string>> groups{{"a\n", "", "b\n"}, {"c\n", "d\n"}, {"e\n"}};
    for (size_t g = 0; g < groups.size(); ++g) {
      for (const std::string& message : groups[g]) ASSERT_TRUE(client.Send(message));
      if (g + 1 == groups.size()) client.Close();
      const MessageBatch& batch = reader.ReadNext();
      std::vector<std::string> expected;
      for (const std::string& message : groups[g])
        if (!message.empty()) expected.push_back(message);
      EXPECT_EQ(Texts(batch), expected) << "group " << g;
      EXPECT_FALSE(batch.client_ended || batch.read_failed) << "group " << g;
    }
    const MessageBatch& last = reader.ReadNext();
    EXPECT_TRUE(last.client_ended) << last.count << " messages read after the client's end";
  }
  platform::DisconnectAndCloseServerEnd(instance);
}

}  // namespace
}  // namespace test
