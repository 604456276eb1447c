// The spdlog sink against the real server: one message per record, an oversize record to
// the logger's error handler, a synchronous sink that says when no server is there, and an
// asynchronous one that buffers until one is.
#include "tobrin/spdlog_sink.h"

#include <gtest/gtest.h>
#include <spdlog/logger.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/log_server_fixture.h"

namespace test {
namespace {

TEST(SpdlogSink, SendsEachRecordAsOneMessageAndReportsAnOversizeOne) {
  ScratchDir dir;
  LogServer server(dir);
  EXPECT_THROW(tobrin::spdlog_sink_mt(server.pipe, 0), spdlog::spdlog_ex);
  std::vector<std::string> errors;
  {
    tobrin_options options = tobrin::DefaultOptions();
    options.connect_timeout_ms = 20000;
    spdlog::logger logger("buffered",
                          std::make_shared<tobrin::spdlog_sink_mt>(server.pipe, options));
    logger.set_pattern("%v");
    logger.set_error_handler([&](const std::string& message) { errors.push_back(message); });
    logger.info("before the server");
    ASSERT_TRUE(server.Start());
    logger.flush();
  }
  ASSERT_TRUE(server.WaitForClientsDone(1));
  EXPECT_EQ(errors, std::vector<std::string>{}) << "the flush failed";
  {
    spdlog::logger logger("test", std::make_shared<tobrin::spdlog_sink_mt>(server.pipe));
    logger.set_pattern("%l %v");
    logger.set_error_handler([&](const std::string& message) { errors.push_back(message); });
    logger.info("one");
    logger.warn(std::string(TOBRIN_MAX_MESSAGE, 'X'));
    logger.error("two {}", 2);
  }
  ASSERT_TRUE(server.WaitForClientsDone(2));
  EXPECT_EQ(ReadWholeFile(server.log), "before the server\ninfo one\nerror two 2\n");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("longer than 32768 bytes"), std::string::npos) << errors[0];
  EXPECT_EQ(server.Stop(), 1);
}

}  // namespace
}  // namespace test
