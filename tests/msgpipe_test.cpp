// The server side of the log pipe, driven by the test itself: what a client leaves behind
// before the server waits for it, and who may hold the pipe's name.
#include <gtest/gtest.h>

#include <string>

#include "log_server_fixture.h"

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

}  // namespace
}  // namespace test
