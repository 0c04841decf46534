// The engine stand-in's engine and messenger functions as the program relies on them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/standin_control.h"
#include "standin_engine.h"

namespace {

using quillon::testing::StandinEngine;

struct Received {
  std::vector<std::string> channels;
  std::vector<std::vector<uint8_t>> messages;
  std::vector<const FlutterDesktopMessageResponseHandle*> handles;
  std::thread::id thread;
  bool answer = true;
};

void recordAndEcho(FlutterDesktopMessengerRef messenger, const FlutterDesktopMessage* message,
                   void* userData) {
  auto* received = static_cast<Received*>(userData);
  received->channels.emplace_back(message->channel);
  received->messages.emplace_back(message->message, message->message + message->message_size);
  received->handles.push_back(message->response_handle);
  received->thread = std::this_thread::get_id();
  if (received->answer) {
    FlutterDesktopMessengerSendResponse(messenger, message->response_handle, message->message,
                                        message->message_size);
  }
}

// Permissions of files differ on Windows, where a read-only attribute is all there is.
constexpr bool isWindows() {
#ifdef _WIN32
  return true;
#else
  return false;
#endif
}

// Runs platform tasks until `done` holds or two seconds pass.
template <typename Done>
bool pumpUntil(Done done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    standin::runPlatformTasks(20);
  }
  return true;
}

TEST(EngineStandinTest, CreationNeedsAnExistingAssetsFolder) {
  StandinEngine existing;
  EXPECT_NE(existing.get(), nullptr);
  std::wstring missing = (existing.assetsPath() / "missing").wstring();
  EXPECT_EQ(StandinEngine::create(missing, {}), nullptr);
  EXPECT_EQ(StandinEngine::create(L"", {}), nullptr);
  EXPECT_EQ(FlutterDesktopEngineCreate(nullptr), nullptr);
}

TEST(EngineStandinTest, KeepsTheEntrypointArgumentsInOrder) {
  StandinEngine engine({"first", "", "third argument"});
  EXPECT_EQ(standin::entrypointArguments(engine.get()),
            (std::vector<std::string>{"first", "", "third argument"}));
}

TEST(EngineStandinTest, DeliversOnThePlatformThreadAndCarriesTheReplyBack) {
  StandinEngine engine;
  Received received;
  FlutterDesktopMessengerSetCallback(engine.messenger(), "test/echo", &recordAndEcho, &received);

  std::vector<std::vector<uint8_t>> replies;
  // Posted from another thread, run only when the platform thread runs its tasks.
  std::thread sender([&] {
    for (uint8_t i = 0; i < 3; ++i) {
      standin::postToProgram(engine.get(), "test/echo", {i, 42},
                             [&replies](const uint8_t* data, size_t size) {
                               replies.emplace_back(data, data + size);
                             });
    }
  });
  sender.join();
  EXPECT_TRUE(received.messages.empty());
  ASSERT_TRUE(pumpUntil([&] { return replies.size() == 3; }));
  EXPECT_EQ(received.thread, std::this_thread::get_id());
  EXPECT_EQ(received.channels, (std::vector<std::string>{"test/echo", "test/echo", "test/echo"}));
  for (uint8_t i = 0; i < 3; ++i) EXPECT_EQ(replies[i], (std::vector<uint8_t>{i, 42}));
}

TEST(EngineStandinTest, UnhandledChannelsAndClearedCallbacksAnswerEmpty) {
  StandinEngine engine;
  Received received;
  FlutterDesktopMessengerSetCallback(engine.messenger(), "test/echo", &recordAndEcho, &received);
  FlutterDesktopMessengerSetCallback(engine.messenger(), "test/echo", nullptr, nullptr);
  std::vector<size_t> sizes;
  auto onReply = [&sizes](const uint8_t*, size_t size) { sizes.push_back(size); };
  standin::postToProgram(engine.get(), "test/echo", {1, 2, 3}, onReply);
  standin::postToProgram(engine.get(), "test/other", {1}, onReply);
  ASSERT_TRUE(pumpUntil([&] { return sizes.size() == 2; }));
  EXPECT_EQ(sizes, (std::vector<size_t>{0, 0}));
  EXPECT_TRUE(received.messages.empty());
}

TEST(EngineStandinTest, AResponseHandleIsAnsweredOnceFromAnyThread) {
  StandinEngine engine;
  Received received;
  received.answer = false;
  FlutterDesktopMessengerSetCallback(engine.messenger(), "test/late", &recordAndEcho, &received);
  std::atomic<int> replies{0};
  standin::postToProgram(engine.get(), "test/late", {7},
                         [&replies](const uint8_t*, size_t) { ++replies; });
  ASSERT_TRUE(pumpUntil([&] { return received.handles.size() == 1; }));
  std::thread answerer([&] {
    const uint8_t bytes[] = {1};
    FlutterDesktopMessengerSendResponse(engine.messenger(), received.handles[0], bytes, 1);
    FlutterDesktopMessengerSendResponse(engine.messenger(), received.handles[0], bytes, 1);
  });
  answerer.join();
  EXPECT_EQ(replies.load(), 1);
}

TEST(EngineStandinTest, ObservesSendsFromAnyThreadAndAnswersSendWithReply) {
  StandinEngine engine;
  std::mutex mutex;
  std::vector<std::string> seen;
  std::function<void(std::vector<uint8_t>)> pendingRespond;
  standin::setSendObserver(
      engine.get(), [&](const std::string& channel, std::vector<uint8_t> message,
                        std::function<void(std::vector<uint8_t>)> respond) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(channel + ":" + std::to_string(message.size()) + (respond ? ":reply" : ""));
        if (respond) pendingRespond = respond;
      });

  const uint8_t bytes[] = {1, 2};
  std::thread pusher(
      [&] { EXPECT_TRUE(FlutterDesktopMessengerSend(engine.messenger(), "test/push", bytes, 2)); });
  pusher.join();
  struct ReplyLog {
    std::vector<std::vector<uint8_t>> replies;
    std::thread::id thread;
  } log;
  auto onReply = [](const uint8_t* data, size_t size, void* userData) {
    auto* replyLog = static_cast<ReplyLog*>(userData);
    replyLog->replies.emplace_back(data, data + size);
    replyLog->thread = std::this_thread::get_id();
  };
  EXPECT_TRUE(FlutterDesktopMessengerSendWithReply(engine.messenger(), "test/ask", bytes, 2,
                                                   onReply, &log));
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::string>{"test/push:2", "test/ask:2:reply"}));
  }
  // Answered from another thread, twice: the program hears it once, on the platform thread.
  std::thread responder([&] {
    pendingRespond({9});
    pendingRespond({8});
  });
  responder.join();
  ASSERT_TRUE(pumpUntil([&] { return log.replies.size() == 1; }));
  standin::runPlatformTasks(50);
  EXPECT_EQ(log.replies, (std::vector<std::vector<uint8_t>>{{9}}));
  EXPECT_EQ(log.thread, std::this_thread::get_id());

  // Without an observer the UI side has nothing to say: an empty reply.
  standin::setSendObserver(engine.get(), nullptr);
  log.replies.clear();
  EXPECT_TRUE(FlutterDesktopMessengerSendWithReply(engine.messenger(), "test/ask", bytes, 2,
                                                   onReply, &log));
  ASSERT_TRUE(pumpUntil([&] { return log.replies.size() == 1; }));
  EXPECT_TRUE(log.replies[0].empty());
}

TEST(EngineStandinTest, AHeldMessengerOutlivesTheEngineAndGoesQuiet) {
  StandinEngine engine;
  Received received;
  received.answer = false;
  FlutterDesktopMessengerRef messenger = FlutterDesktopMessengerAddRef(engine.messenger());
  FlutterDesktopMessengerSetCallback(messenger, "test/late", &recordAndEcho, &received);
  int replies = 0;
  auto countReply = [&replies](const uint8_t*, size_t) { ++replies; };
  standin::postToProgram(engine.get(), "test/late", {1}, countReply);
  ASSERT_TRUE(pumpUntil([&] { return received.handles.size() == 1; }));
  // One more delivery queued but never run: the engine goes first.
  standin::postToProgram(engine.get(), "test/late", {2}, countReply);
  std::atomic<int> observed{0};
  standin::setSendObserver(engine.get(),
                           [&](const std::string&, std::vector<uint8_t>,
                               std::function<void(std::vector<uint8_t>)>) { ++observed; });
  EXPECT_TRUE(FlutterDesktopMessengerIsAvailable(messenger));

  EXPECT_TRUE(FlutterDesktopEngineDestroy(engine.release()));
  EXPECT_FALSE(FlutterDesktopMessengerIsAvailable(messenger));
  EXPECT_EQ(FlutterDesktopMessengerLock(messenger), messenger);
  FlutterDesktopMessengerSendResponse(messenger, received.handles[0], nullptr, 0);
  FlutterDesktopMessengerUnlock(messenger);
  const uint8_t bytes[] = {1};
  EXPECT_FALSE(FlutterDesktopMessengerSend(messenger, "test/push", bytes, 1));
  EXPECT_FALSE(
      FlutterDesktopMessengerSendWithReply(messenger, "test/push", bytes, 1, nullptr, nullptr));
  FlutterDesktopMessengerSetCallback(messenger, "test/late", &recordAndEcho, &received);
  standin::runPlatformTasks(50);
  EXPECT_EQ(replies, 0);
  EXPECT_EQ(observed.load(), 0);
  EXPECT_EQ(received.handles.size(), 1u);
  FlutterDesktopMessengerRelease(messenger);
}

TEST(EngineStandinTest, RecordsPluginRegistrationsInOrder) {
  StandinEngine engine;
  FlutterDesktopPluginRegistrarRef first =
      FlutterDesktopEngineGetPluginRegistrar(engine.get(), "FirstPlugin");
  FlutterDesktopPluginRegistrarRef second =
      FlutterDesktopEngineGetPluginRegistrar(engine.get(), "SecondPlugin");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  StandinRecordPluginRegistration(second, "registerSecond");
  StandinRecordPluginRegistration(first, "registerFirst");
  StandinRecordPluginRegistration(nullptr, "ignored");
  auto registrations = standin::pluginRegistrations(engine.get());
  ASSERT_EQ(registrations.size(), 2u);
  EXPECT_EQ(registrations[0].pluginName, "SecondPlugin");
  EXPECT_EQ(registrations[0].function, "registerSecond");
  EXPECT_EQ(registrations[1].pluginName, "FirstPlugin");
  EXPECT_EQ(registrations[1].function, "registerFirst");
  EXPECT_EQ(FlutterDesktopEngineGetPluginRegistrar(nullptr, "FirstPlugin"), nullptr);

  FlutterDesktopEngineReloadSystemFonts(engine.get());
  FlutterDesktopEngineReloadSystemFonts(engine.get());
  EXPECT_EQ(standin::fontReloadCount(engine.get()), 2);
}

}  // namespace

namespace {

struct PortFileText {
  int port = 0;
  std::string token;
};

PortFileText readPortFileText(const std::filesystem::path& path) {
  PortFileText text;
  std::ifstream(path) >> text.port >> text.token;
  return text;
}

TEST(EngineStandinTest, UiLinkWritesAFreshTokenPerEngineAndRemovesItsPortFile) {
  quillon::testing::TempDir folder;
  std::filesystem::path first = std::filesystem::path(folder.path()) / "first.port";
  std::filesystem::path second = std::filesystem::path(folder.path()) / "second.port";
  StandinEngine one({"--ui-link=" + first.string()});
  StandinEngine two({"--other", "--ui-link=" + second.string()});
  ASSERT_NE(one.get(), nullptr);
  ASSERT_NE(two.get(), nullptr);
  PortFileText a = readPortFileText(first);
  PortFileText b = readPortFileText(second);
  for (const PortFileText& text : {a, b}) {
    EXPECT_GT(text.port, 0);
    EXPECT_EQ(text.token.size(), 32u);
    EXPECT_EQ(text.token.find_first_not_of("0123456789abcdef"), std::string::npos);
  }
  EXPECT_NE(a.token, b.token);
  EXPECT_NE(a.port, b.port);
  if (!isWindows()) {
    auto others = std::filesystem::perms::group_all | std::filesystem::perms::others_all;
    EXPECT_EQ(std::filesystem::status(first).permissions() & others, std::filesystem::perms::none);
  }

  EXPECT_TRUE(FlutterDesktopEngineDestroy(one.release()));
  EXPECT_FALSE(std::filesystem::exists(first));
  EXPECT_TRUE(std::filesystem::exists(second));

  // A link that cannot write its port file is no link: the engine is not created.
  StandinEngine nowhere({"--ui-link=" + folder.path() + "/missing-folder/x.port"});
  EXPECT_EQ(nowhere.get(), nullptr);
}

}  // namespace
