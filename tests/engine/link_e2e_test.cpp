// The UI link end to end: the link test program (an engine stand-in with an echo channel) in a
// process of its own, driven through the UI driver and through raw link connections.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "bridge/standard_method_codec.h"
#include "child_process.h"
#include "driver.h"
#include "echo_app_plugins.h"
#include "link_client.h"
#include "temp_dir.h"

namespace {

using quillon::driver::Clock;
using quillon::driver::LinkClient;
using quillon::driver::LinkStatus;
using quillon::driver::PortFile;
using quillon::testing::ChildProcess;
using standin::link::Frame;
using standin::link::FrameKind;

Clock::time_point in(int milliseconds) {
  return Clock::now() + std::chrono::milliseconds(milliseconds);
}

std::vector<uint8_t> encodeCall(const std::string& method, const flutter::EncodableValue& args) {
  return flutter::StandardMethodCodec::instance().encodeMethodCall(
      flutter::MethodCall(method, args));
}

std::vector<uint8_t> successEnvelope(const flutter::EncodableValue& value) {
  return flutter::StandardMethodCodec::instance().encodeSuccessEnvelope(&value);
}

struct DriverRun {
  int code;
  std::string out;
  std::string err;
};

DriverRun runInProcess(const std::vector<std::string>& arguments) {
  std::ostringstream out;
  std::ostringstream err;
  int code = quillon::driver::runDriver(arguments, out, err);
  return {code, out.str(), err.str()};
}

class LinkEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(assets());
    ASSERT_TRUE(
        app_.start(LINK_ECHO_APP, {assets(), portFile(), "60"}, folder_.path() + "/app.out"));
    // The first start of a program under Wine can take a while.
    auto deadline = in(30000);
    while (quillon::driver::readPortFile(portFile(), port_) != LinkStatus::kOk) {
      ASSERT_LT(Clock::now(), deadline) << "the link test program wrote no port file";
      ASSERT_FALSE(app_.wait(50).has_value()) << "the link test program ended early";
    }
  }

  // Ends the program the polite way, so that its exit code also reports leaks and races the
  // sanitizer builds find in it.
  void TearDown() override {
    if (!app_.running() || port_.port == 0) return;
    LinkClient client;
    std::vector<uint8_t> reply;
    if (client.open(port_, in(10000)) == LinkStatus::kOk) {
      client.call("test/echo", encodeCall("quit", {}), reply, in(10000));
    }
    EXPECT_EQ(app_.wait(20000), 0);
  }

  std::string assets() const { return folder_.path() + "/flutter_assets"; }
  std::string portFile() const { return folder_.path() + "/ui-link.port"; }

  // Runs the driver program and returns its exit code and output.
  DriverRun runDriver(const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"--port-file", portFile()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    DriverRun run{};
    run.code =
        quillon::testing::runToEnd(QUILLON_DRIVER, all, folder_.path() + "/driver.out", run.out);
    return run;
  }

  LinkClient openClient() {
    LinkClient client;
    EXPECT_EQ(client.open(port_, in(10000)), LinkStatus::kOk);
    return client;
  }

  quillon::testing::TempDir folder_;
  ChildProcess app_;
  PortFile port_;
};

TEST_F(LinkEndToEndTest, DriverCallsPrintTheDecodedReply) {
  struct Row {
    std::vector<std::string> arguments;
    std::string line;
  };
  const std::vector<Row> rows = {
      {{"call", "test/echo", "echo", R"({"b": [1, 2.5, "x\"y", null, true], "a": 5000000000L})"},
       R"({"result":"success","value":{"a":5000000000L,"b":[1,2.5,"x\"y",null,true]}})"},
      {{"call", "test/echo", "fail", "[7L, {}]"},
       R"({"result":"error","code":"ECHO_ERROR","message":"asked to fail","details":[7L,{}]})"},
      {{"call", "test/echo", "nothing"}, R"({"result":"notImplemented"})"},
      {{"call", "test/nobody", "echo", "[]"}, R"({"result":"notImplemented"})"},
      {{"call", "standin/arguments", "get"},
       R"({"result":"success","value":["--first","--ui-link=)" + portFile() + R"("]})"},
      {{"call", "standin/plugins", "get"},
       std::string(R"({"result":"success","value":)") + kEchoAppPluginRecord + "}"},
  };
  for (const Row& row : rows) {
    DriverRun run = runDriver(row.arguments);
    EXPECT_EQ(run.code, 0) << row.arguments[2];
    EXPECT_EQ(run.out, row.line + "\n") << row.arguments[2];
  }
}

TEST_F(LinkEndToEndTest, DriverWaitsAreBoundedAndTroubleIsReported) {
  // A call the program never answers: the time limit ends the driver with exit code 3.
  auto started = Clock::now();
  DriverRun held = runDriver({"call", "test/echo", "hold", "[]", "--timeout", "0.5"});
  EXPECT_EQ(held.code, quillon::driver::kExitTimeout);
  EXPECT_EQ(held.out, "");
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(15));

  std::string wrongToken = folder_.path() + "/wrong-token.port";
  std::ofstream(wrongToken) << port_.port << " " << std::string(32, 'a') << "\n";
  std::string malformed = folder_.path() + "/malformed.port";
  std::ofstream(malformed) << "not a port file\n";
  struct Row {
    std::vector<std::string> arguments;
    int code;
    std::string complaint;
  };
  const std::vector<Row> rows = {
      {{"--port-file", wrongToken, "call", "test/echo", "echo"}, 2, "refused the token"},
      {{"--port-file", folder_.path() + "/missing.port", "call", "a", "b"}, 2, "cannot be read"},
      {{"--port-file", malformed, "call", "a", "b"}, 2, "does not hold a port"},
      {{"--port-file", portFile(), "call", "test/echo", "echo", "[1, 2"}, 1, "bad ARGS"},
      {{"--port-file", portFile(), "call", "test/echo", "echo", "3000000000"}, 1, "mark 64-bit"},
      {{"--port-file", portFile(), "call", "test/echo"}, 1, "usage"},
      {{"--port-file", portFile(), "watch", "a", "--count", "0"}, 1, "--count"},
      {{"--port-file", portFile(), "call", "a", "b", "--timeout", "-1"}, 1, "--timeout"},
      {{"call", "a", "b"}, 1, "--port-file is required"},
      {{"--port-file", portFile(), "call", "test/echo", "echo", "{\"n\": 5}"}, 0, ""},
  };
  for (const Row& row : rows) {
    DriverRun run = runInProcess(row.arguments);
    EXPECT_EQ(run.code, row.code) << row.complaint;
    EXPECT_NE(run.err.find(row.complaint), std::string::npos) << run.err;
  }
}

TEST_F(LinkEndToEndTest, WatchPrintsThePushesOfItsChannel) {
  ChildProcess watch;
  std::string output = folder_.path() + "/watch.out";
  ASSERT_TRUE(watch.start(
      QUILLON_DRIVER,
      {"--port-file", portFile(), "watch", "test/pushes", "--count", "2", "--timeout", "30"},
      output));
  // Pushes reach only connected clients, so keep pushing until the watcher has seen two.
  LinkClient client = openClient();
  std::optional<int> code;
  auto deadline = in(30000);
  for (int i = 0; !code && Clock::now() < deadline; ++i) {
    std::vector<uint8_t> reply;
    ASSERT_EQ(client.call("test/echo", encodeCall("push", flutter::EncodableMap{{"n", 7}}), reply,
                          in(5000)),
              LinkStatus::kOk);
    code = watch.wait(200);
  }
  ASSERT_EQ(code, 0);
  std::ifstream in(output, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text,
            "{\"method\":\"onPush\",\"arguments\":{\"n\":7}}\n"
            "{\"method\":\"onPush\",\"arguments\":{\"n\":7}}\n");
}

TEST_F(LinkEndToEndTest, AThousandCallsInARowAreAnsweredInOrder) {
  LinkClient client = openClient();
  constexpr int kCalls = 1000;
  std::vector<uint32_t> ids;
  for (int i = 0; i < kCalls; ++i) {
    uint32_t id = 0;
    ASSERT_TRUE(client.sendCall("test/echo", encodeCall("echo", flutter::EncodableValue(i)), id));
    ids.push_back(id);
  }
  for (int i = 0; i < kCalls; ++i) {
    Frame frame;
    ASSERT_EQ(client.nextFrame(frame, in(20000)), LinkStatus::kOk) << "reply " << i;
    ASSERT_EQ(frame.kind, FrameKind::kReply);
    ASSERT_EQ(frame.id, ids[i]);
    ASSERT_EQ(frame.message, successEnvelope(flutter::EncodableValue(i)));
  }
}

TEST_F(LinkEndToEndTest, BadFramesCloseOnlyTheirOwnConnection) {
  LinkClient good = openClient();
  auto frame = [](FrameKind kind, const std::string& text) {
    Frame value;
    value.kind = kind;
    value.text = text;
    return standin::link::encodeFrame(value);
  };
  std::vector<uint8_t> hello = frame(FrameKind::kHello, port_.token);
  auto after = [&hello](std::vector<uint8_t> bytes) {
    bytes.insert(bytes.begin(), hello.begin(), hello.end());
    return bytes;
  };
  struct Row {
    const char* name;
    std::vector<uint8_t> bytes;
    bool welcomed;
  };
  const std::vector<Row> rows = {
      {"wrong token", frame(FrameKind::kHello, std::string(32, '0')), false},
      {"short token", frame(FrameKind::kHello, port_.token.substr(1)), false},
      {"call before hello", frame(FrameKind::kCall, "test/echo"), false},
      {"oversized length", {0xFF, 0xFF, 0xFF, 0xFF, 0x01}, false},
      {"zero length", {0, 0, 0, 0}, false},
      {"unknown kind", {1, 0, 0, 0, 0x09}, false},
      {"reply from the client", after(frame(FrameKind::kReply, "")), true},
      {"second hello", after(hello), true},
      {"call with a channel past its end", after({9, 0, 0, 0, 3, 1, 0, 0, 0, 200, 0, 0, 0}), true},
  };
  for (const Row& row : rows) {
    LinkClient bad;
    ASSERT_EQ(bad.connectOnly(port_.port, in(5000)), LinkStatus::kOk) << row.name;
    ASSERT_TRUE(bad.sendBytes(row.bytes)) << row.name;
    Frame answer;
    LinkStatus status = bad.nextFrame(answer, in(10000));
    if (row.welcomed) {
      ASSERT_EQ(status, LinkStatus::kOk) << row.name;
      EXPECT_EQ(answer.kind, FrameKind::kWelcome) << row.name;
      status = bad.nextFrame(answer, in(10000));
    }
    EXPECT_EQ(status, LinkStatus::kClosed) << row.name;
  }
  // A frame cut short by its sender's close disturbs nothing either.
  {
    LinkClient truncated;
    ASSERT_EQ(truncated.connectOnly(port_.port, in(5000)), LinkStatus::kOk);
    ASSERT_TRUE(truncated.sendBytes({40, 0, 0, 0, 1, 'a', 'b'}));
  }
  std::vector<uint8_t> reply;
  ASSERT_EQ(good.call("test/echo", encodeCall("echo", "still here"), reply, in(10000)),
            LinkStatus::kOk);
  EXPECT_EQ(reply, successEnvelope("still here"));
}

TEST_F(LinkEndToEndTest, QuitEndsTheProgramAndLeavesNoPortFileBehind) {
  std::string stalePortFile = folder_.path() + "/stale.port";
  std::filesystem::copy_file(portFile(), stalePortFile);
  LinkClient client = openClient();
  std::vector<uint8_t> reply;
  ASSERT_EQ(client.call("test/echo", encodeCall("quit", {}), reply, in(10000)), LinkStatus::kOk);
  EXPECT_EQ(reply, successEnvelope(true));
  EXPECT_EQ(app_.wait(20000), 0);
  EXPECT_FALSE(std::filesystem::exists(portFile()));

  // The link is gone with the program: an existing connection ends, a copy of the port file
  // is stale.
  Frame frame;
  EXPECT_EQ(client.nextFrame(frame, in(5000)), LinkStatus::kClosed);
  DriverRun run = runInProcess({"--port-file", stalePortFile, "call", "test/echo", "echo"});
  EXPECT_EQ(run.code, quillon::driver::kExitLink);
  EXPECT_NE(run.err.find("stale"), std::string::npos) << run.err;
}

}  // namespace
