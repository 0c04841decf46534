#include <algorithm>
#include <stdexcept>
#include <thread>

#include "bridge/binary_messenger.h"
#include "bridge/method_call_channel.h"
#include "bridge/standard_method_codec.h"
#include "bridge_fixture.h"
#include "log_capture.h"
#include "recording_result.h"

using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::MethodCall;
using flutter::MethodCallChannel;
using flutter::MethodResult;
using flutter::StandardMethodCodec;

namespace quillon::testing {
namespace {

const char kChannel[] = "com.quillon.app/test";
const char kDuplicateResult[] =
    "Error: Only one of Success, Error, or NotImplemented can be called, and it can be called "
    "exactly once. Ignoring duplicate result.";
const char kLeak[] = "Warning: Failed to respond to a message. This is a memory leak.";

const StandardMethodCodec& codec() { return StandardMethodCodec::instance(); }

Bytes callBytes(const std::string& method, EncodableValue arguments = EncodableValue()) {
  return codec().encodeMethodCall(MethodCall(method, std::move(arguments)));
}

Bytes success(const EncodableValue& value) { return codec().encodeSuccessEnvelope(&value); }

class MethodCallChannelTest : public BridgeTest {
 protected:
  void post(const Bytes& message, Answers& answers, const std::string& channel = kChannel) {
    standin::postToProgram(handle(), channel, message, answers.collector());
  }

  MethodCallChannel channel_{messenger(), kChannel};
};

TEST_F(MethodCallChannelTest, IncomingCallIsDecodedAndAnsweredOnce) {
  LogCapture log;
  std::vector<std::string> seen;
  channel_.setMethodCallHandler([&](const MethodCall& call, std::unique_ptr<MethodResult> result) {
    seen.push_back(call.methodName());
    const auto& arguments = std::get<EncodableMap>(call.arguments());
    result->Success(arguments.at(EncodableValue("x")));
  });
  Answers answers;
  post(callBytes("echo", EncodableMap{{EncodableValue("x"), EncodableValue(int32_t{42})}}),
       answers);
  ASSERT_TRUE(answers.waitFor(1));
  drainPlatformTasks();
  EXPECT_EQ(seen, std::vector<std::string>{"echo"});
  EXPECT_EQ(answers.all(), std::vector<Bytes>{success(EncodableValue(int32_t{42}))});
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(MethodCallChannelTest, SecondHandlerReplacesTheFirst) {
  channel_.setMethodCallHandler([](const MethodCall&, std::unique_ptr<MethodResult> result) {
    result->Success(EncodableValue("first"));
  });
  channel_.setMethodCallHandler([](const MethodCall&, std::unique_ptr<MethodResult> result) {
    result->Error("E", "second");
  });
  Answers answers;
  post(callBytes("m"), answers);
  ASSERT_TRUE(answers.waitFor(1));
  EXPECT_EQ(answers.all(), std::vector<Bytes>{codec().encodeErrorEnvelope("E", "second", nullptr)});

  // An empty handler unregisters the channel: the engine answers with the empty answer itself.
  channel_.setMethodCallHandler(nullptr);
  post(callBytes("m"), answers);
  ASSERT_TRUE(answers.waitFor(2));
  EXPECT_EQ(answers.all().back(), Bytes{});
}

TEST_F(MethodCallChannelTest, SecondAnswerIsLoggedAndDropped) {
  LogCapture log;
  channel_.setMethodCallHandler([](const MethodCall&, std::unique_ptr<MethodResult> result) {
    result->Success(EncodableValue(true));
    result->Error("LATE");
    result->NotImplemented();
  });
  Answers answers;
  post(callBytes("m"), answers);
  ASSERT_TRUE(answers.waitFor(1));
  drainPlatformTasks();
  EXPECT_EQ(answers.all(), std::vector<Bytes>{success(EncodableValue(true))});
  EXPECT_EQ(log.count(kDuplicateResult), 2);
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST_F(MethodCallChannelTest, ResultDroppedWithoutAnswerIsALeak) {
  LogCapture log;
  channel_.setMethodCallHandler([](const MethodCall&, std::unique_ptr<MethodResult>) {});
  Answers answers;
  post(callBytes("m"), answers);
  drainPlatformTasks();
  EXPECT_TRUE(answers.all().empty());
  EXPECT_EQ(log.lines(), std::vector<std::string>{kLeak});
}

TEST_F(MethodCallChannelTest, NotImplementedIsTheEmptyAnswer) {
  channel_.setMethodCallHandler(
      [](const MethodCall&, std::unique_ptr<MethodResult> result) { result->NotImplemented(); });
  Answers answers;
  post(callBytes("m"), answers);
  ASSERT_TRUE(answers.waitFor(1));
  EXPECT_EQ(answers.all(), std::vector<Bytes>{Bytes{}});
}

TEST_F(MethodCallChannelTest, UndecodableCallIsAnsweredNotImplemented) {
  LogCapture log;
  bool called = false;
  channel_.setMethodCallHandler(
      [&](const MethodCall&, std::unique_ptr<MethodResult>) { called = true; });
  Answers answers;
  post(Bytes{3, 1, 0, 0, 0}, answers);
  ASSERT_TRUE(answers.waitFor(1));
  EXPECT_FALSE(called);
  EXPECT_EQ(answers.all(), std::vector<Bytes>{Bytes{}});
  EXPECT_EQ(
      log.lines(),
      (std::vector<std::string>{
          "Invalid method call; method name is not a string.",
          std::string("Unable to construct method call from message on channel ") + kChannel}));
}

TEST_F(MethodCallChannelTest, ThrowingHandlerIsLoggedAndAnsweredOnce) {
  LogCapture log;
  channel_.setMethodCallHandler(
      [](const MethodCall&, std::unique_ptr<MethodResult>) { throw std::runtime_error("boom"); });
  Answers answers;
  post(callBytes("m"), answers);
  ASSERT_TRUE(answers.waitFor(1));
  drainPlatformTasks();
  EXPECT_EQ(answers.all(), std::vector<Bytes>{Bytes{}});
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             std::string("Unhandled exception in the message handler of channel ") +
                             kChannel + ": boom"});

  // A handler that answered before it threw is not answered again.
  channel_.setMethodCallHandler([](const MethodCall&, std::unique_ptr<MethodResult> result) {
    result->Success(EncodableValue(int32_t{1}));
    throw std::runtime_error("after");
  });
  post(callBytes("m"), answers);
  ASSERT_TRUE(answers.waitFor(2));
  drainPlatformTasks();
  EXPECT_EQ(answers.all().size(), 2u);
  EXPECT_EQ(answers.all().back(), success(EncodableValue(int32_t{1})));
  EXPECT_EQ(log.count(kLeak), 0);
}

TEST_F(MethodCallChannelTest, AnswerAfterEngineShutdownIsDroppedSilently) {
  std::unique_ptr<MethodResult> kept;
  channel_.setMethodCallHandler(
      [&](const MethodCall&, std::unique_ptr<MethodResult> result) { kept = std::move(result); });
  Answers answers;
  post(callBytes("m"), answers);
  drainPlatformTasks();
  ASSERT_TRUE(kept);

  LogCapture log;
  engine_.reset();
  kept->Success(EncodableValue(true));
  kept->Success(EncodableValue(true));  // the duplicate is still the result's own error
  kept.reset();
  drainPlatformTasks();
  EXPECT_TRUE(answers.all().empty());
  EXPECT_EQ(log.lines(), std::vector<std::string>{kDuplicateResult});
}

TEST_F(MethodCallChannelTest, AnswersFromAnotherThread) {
  channel_.setMethodCallHandler([](const MethodCall& call, std::unique_ptr<MethodResult> result) {
    std::thread([method = call.methodName(), result = std::move(result)] {
      result->Success(EncodableValue(method));
    }).detach();
  });
  Answers answers;
  post(callBytes("a"), answers);
  post(callBytes("b"), answers);
  ASSERT_TRUE(answers.waitFor(2));
  auto all = answers.all();
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (std::vector<Bytes>{success(EncodableValue("a")), success(EncodableValue("b"))}));
}

struct Outgoing {
  std::string channel;
  Bytes message;
  std::function<void(Bytes)> respond;
};

class OutgoingTest : public MethodCallChannelTest {
 protected:
  OutgoingTest() {
    standin::setSendObserver(handle(), [this](const std::string& channel, Bytes message,
                                              std::function<void(Bytes)> respond) {
      std::lock_guard<std::mutex> lock(mutex_);
      sent_.push_back({channel, std::move(message), std::move(respond)});
    });
  }
  ~OutgoingTest() override {
    if (engine_) standin::setSendObserver(handle(), nullptr);
  }

  // Invokes a method with a result and answers it with `reply`; returns what the result saw.
  std::vector<RecordedOutcome> invokeAnswered(const Bytes& reply) {
    std::vector<RecordedOutcome> outcomes;
    channel_.invokeMethod("ask", EncodableValue(int32_t{5}),
                          std::make_unique<RecordingResult>(&outcomes));
    std::function<void(Bytes)> respond;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      EXPECT_EQ(sent_.size(), 1u);
      if (sent_.empty()) return outcomes;
      EXPECT_EQ(sent_.back().message, callBytes("ask", EncodableValue(int32_t{5})));
      respond = sent_.back().respond;
      sent_.clear();
    }
    EXPECT_TRUE(respond);
    if (respond) respond(reply);
    drainPlatformTasks();
    return outcomes;
  }

  std::mutex mutex_;
  std::vector<Outgoing> sent_;
};

TEST_F(OutgoingTest, RepliesReachTheResult) {
  LogCapture log;
  auto outcomes = invokeAnswered(success(EncodableValue("ok")));
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].kind, RecordedOutcome::kSuccess);
  EXPECT_EQ(outcomes[0].value, EncodableValue("ok"));

  outcomes = invokeAnswered(Bytes{});
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].kind, RecordedOutcome::kNotImplemented);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(OutgoingTest, UndecodableRepliesAreNotImplemented) {
  const std::string line =
      std::string("Unable to decode reply to method invocation on channel ") + kChannel;
  const Bytes malformed[] = {
      {7},                       // not an envelope
      {1, 3, 1, 0, 0, 0, 0, 0},  // an error envelope whose code is a number
  };
  for (const Bytes& reply : malformed) {
    LogCapture log;
    auto outcomes = invokeAnswered(reply);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].kind, RecordedOutcome::kNotImplemented);
    EXPECT_EQ(log.lines(), std::vector<std::string>{line});
  }
}

TEST_F(OutgoingTest, InvocationWithoutResultFromAnotherThread) {
  // The platform thread keeps handling calls while another thread pushes.
  channel_.setMethodCallHandler(
      [](const MethodCall&, std::unique_ptr<MethodResult> result) { result->Success(); });
  constexpr int kPushes = 50;
  std::thread pusher([this] {
    for (int i = 0; i < kPushes; ++i) {
      channel_.invokeMethod("onStatsUpdate",
                            EncodableMap{{EncodableValue("n"), EncodableValue(i)}});
    }
  });
  Answers answers;
  for (int i = 0; i < 20; ++i) post(callBytes("m"), answers);
  EXPECT_TRUE(answers.waitFor(20));
  pusher.join();
  std::lock_guard<std::mutex> lock(mutex_);
  ASSERT_EQ(sent_.size(), static_cast<size_t>(kPushes));
  for (int i = 0; i < kPushes; ++i) {
    EXPECT_EQ(sent_[i].channel, kChannel);
    EXPECT_FALSE(sent_[i].respond);
    EXPECT_EQ(sent_[i].message,
              callBytes("onStatsUpdate", EncodableMap{{EncodableValue("n"), EncodableValue(i)}}));
  }
}

TEST_F(MethodCallChannelTest, MessengerLeavingBeforeTheEngineUnregistersItsHandlers) {
  auto own =
      std::make_unique<flutter::BinaryMessengerImpl>(FlutterDesktopEngineGetMessenger(handle()));
  bool called = false;
  own->setMessageHandler("raw",
                         [&](const uint8_t*, size_t, flutter::BinaryMessenger::BinaryReply reply) {
                           called = true;
                           reply(nullptr, 0);
                         });
  own.reset();
  Answers answers;
  post(Bytes{1}, answers, "raw");
  ASSERT_TRUE(answers.waitFor(1));
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace quillon::testing
