// The stand-in view's control panel: its buttons reach the program's channel callback as real
// method calls, and the program's statistics pushes reach its status lines.
#include "engine/ui_panel_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/standard_method_codec.h"
#include "engine/standin_control.h"
#include "standin_engine.h"

namespace {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::StandardMethodCodec;
using quillon::testing::StandinEngine;

const StandardMethodCodec& codec() { return StandardMethodCodec::instance(); }

// Plays the program's side of "com.quillon.app/vpn": records each call and answers it.
struct FakeVpnChannel {
  std::vector<std::unique_ptr<flutter::MethodCall>> calls;
  EncodableValue startReply = EncodableValue(true);
  int32_t recordCount = 0;

  static void onMessage(FlutterDesktopMessengerRef messenger, const FlutterDesktopMessage* message,
                        void* userData) {
    auto* self = static_cast<FakeVpnChannel*>(userData);
    auto call = codec().decodeMethodCall(message->message, message->message_size);
    ASSERT_NE(call, nullptr);
    EncodableValue answer(true);
    if (call->methodName() == "startVpn") answer = self->startReply;
    if (call->methodName() == "getTcpConnections") {
      answer = EncodableValue(
          EncodableList(static_cast<size_t>(self->recordCount), EncodableValue(EncodableMap{})));
    }
    self->calls.push_back(std::move(call));
    auto reply = codec().encodeSuccessEnvelope(&answer);
    FlutterDesktopMessengerSendResponse(messenger, message->response_handle, reply.data(),
                                        reply.size());
  }
  const flutter::MethodCall* find(const std::string& method) const {
    for (const auto& call : calls) {
      if (call->methodName() == method) return call.get();
    }
    return nullptr;
  }
};

// A view controller with its panel over a stand-in engine, and the fake program channel.
class PanelTest : public ::testing::Test {
 protected:
  void open(std::vector<std::string> arguments = {}) {
    engine_ = std::make_unique<StandinEngine>(std::move(arguments));
    controller_ = FlutterDesktopViewControllerCreate(350, 530, engine_->release());
    ASSERT_NE(controller_, nullptr);
    messenger_ = FlutterDesktopEngineGetMessenger(standin::viewControllerEngine(controller_));
    FlutterDesktopMessengerSetCallback(messenger_, "com.quillon.app/vpn",
                                       &FakeVpnChannel::onMessage, &vpn_);
    HWND view = FlutterDesktopViewGetHWND(FlutterDesktopViewControllerGetView(controller_));
    panel_ = GetWindow(view, GW_CHILD);
    ASSERT_NE(panel_, nullptr);
  }
  void TearDown() override {
    if (controller_ != nullptr) FlutterDesktopViewControllerDestroy(controller_);
  }

  std::wstring text(int id) const {
    wchar_t buffer[256] = {};
    GetDlgItemTextW(panel_, id, buffer, 256);
    return buffer;
  }
  void click(int id) {
    SendMessageW(panel_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(panel_, id)));
  }
  // Runs the platform thread's work until `done` holds, for at most five seconds.
  bool runUntil(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      standin::runPlatformTasks(50);
    }
    return true;
  }

  std::unique_ptr<StandinEngine> engine_;
  FlutterDesktopViewControllerRef controller_ = nullptr;
  FlutterDesktopMessengerRef messenger_ = nullptr;
  HWND panel_ = nullptr;
  FakeVpnChannel vpn_;
};

TEST_F(PanelTest, ConnectAndDisconnectSendTheVpnCallsAndShowTheReplies) {
  open();
  EXPECT_EQ(text(standin::kPanelStateLine), L"State: Disconnected");
  EXPECT_NE(
      GetWindowLongW(GetDlgItem(panel_, standin::kPanelPasswordField), GWL_STYLE) & ES_PASSWORD, 0);
  SetDlgItemTextW(panel_, standin::kPanelHostField, L"127.0.0.1");
  SetDlgItemTextW(panel_, standin::kPanelPortField, L"3128");
  SetDlgItemTextW(panel_, standin::kPanelUserField, L"alice");
  SetDlgItemTextW(panel_, standin::kPanelPasswordField, L"s\u00e9cret");
  SetDlgItemTextW(panel_, standin::kPanelTitleField, L"\u4e1c\u4eac");
  click(standin::kPanelConnectButton);
  ASSERT_TRUE(runUntil([&] { return text(standin::kPanelStateLine) == L"State: Connected"; }));
  const flutter::MethodCall* start = vpn_.find("startVpn");
  ASSERT_NE(start, nullptr);
  EncodableMap expected{{"proxyHost", "127.0.0.1"},
                        {"proxyPort", int32_t{3128}},
                        {"username", "alice"},
                        {"password",
                         "s\xC3\xA9"
                         "cret"},
                        {"dnsServer", ""},
                        {"serverTitle", "\xE4\xB8\x9C\xE4\xBA\xAC"}};
  EXPECT_EQ(start->arguments(), EncodableValue(expected));

  click(standin::kPanelDisconnectButton);
  ASSERT_TRUE(runUntil([&] { return text(standin::kPanelStateLine) == L"State: Disconnected"; }));
  ASSERT_NE(vpn_.find("stopVpn"), nullptr);
  EXPECT_TRUE(vpn_.find("stopVpn")->arguments().isNull());

  // A refused connection and a program that does not listen are shown as such.
  vpn_.startReply = EncodableValue(false);
  click(standin::kPanelConnectButton);
  EXPECT_TRUE(
      runUntil([&] { return text(standin::kPanelStateLine) == L"State: Connection failed"; }));
  FlutterDesktopMessengerSetCallback(messenger_, "com.quillon.app/vpn", nullptr, nullptr);
  click(standin::kPanelConnectButton);
  EXPECT_TRUE(runUntil(
      [&] { return text(standin::kPanelStateLine) == L"State: No answer from the program"; }));
}

TEST_F(PanelTest, AStatisticsPushFromAnotherThreadUpdatesTheLinesAndTheRecordCount) {
  open();
  vpn_.recordCount = 3;
  std::thread statistics([&] {
    EncodableMap stats{{"bytesSent", int32_t{1234}},
                       {"bytesReceived", int32_t{-2147483647 - 1}},
                       {"activeConnections", int32_t{2}}};
    auto bytes =
        codec().encodeMethodCall(flutter::MethodCall("onStatsUpdate", EncodableValue(stats)));
    FlutterDesktopMessengerSend(messenger_, "com.quillon.app/stats", bytes.data(), bytes.size());
  });
  statistics.join();
  EXPECT_TRUE(runUntil([&] {
    return text(standin::kPanelTrafficLine) == L"Sent: 1234 bytes, received: -2147483648 bytes";
  }));
  EXPECT_EQ(text(standin::kPanelActiveLine), L"Active connections: 2");
  EXPECT_TRUE(
      runUntil([&] { return text(standin::kPanelRecordsLine) == L"Recorded connections: 3"; }));

  // Other sends on the channel leave the lines alone.
  auto other = codec().encodeMethodCall(flutter::MethodCall("somethingElse", EncodableValue()));
  FlutterDesktopMessengerSend(messenger_, "com.quillon.app/stats", other.data(), other.size());
  standin::runPlatformTasks(100);
  EXPECT_EQ(text(standin::kPanelActiveLine), L"Active connections: 2");
}

TEST_F(PanelTest, TheConnectArgumentsConnectOnceAfterTheFirstFrame) {
  open({"--connect=proxy.test:8080", "--user=bob", "--password=pw", "--dns=10.0.0.53",
        "--title=Home"});
  standin::runPlatformTasks(100);
  EXPECT_EQ(vpn_.find("startVpn"), nullptr);  // nothing before the first frame
  int frames = 0;
  FlutterDesktopEngineSetNextFrameCallback(
      standin::viewControllerEngine(controller_), [](void* data) { ++*static_cast<int*>(data); },
      &frames);
  FlutterDesktopViewControllerForceRedraw(controller_);
  ASSERT_TRUE(runUntil([&] { return vpn_.find("startVpn") != nullptr; }));
  EXPECT_EQ(frames, 1);
  EncodableMap expected{{"proxyHost", "proxy.test"}, {"proxyPort", int32_t{8080}},
                        {"username", "bob"},         {"password", "pw"},
                        {"dnsServer", "10.0.0.53"},  {"serverTitle", "Home"}};
  EXPECT_EQ(vpn_.find("startVpn")->arguments(), EncodableValue(expected));
  EXPECT_EQ(text(standin::kPanelHostField), L"proxy.test");

  FlutterDesktopViewControllerForceRedraw(controller_);
  standin::runPlatformTasks(200);
  size_t starts = 0;
  for (const auto& call : vpn_.calls) starts += call->methodName() == "startVpn";
  EXPECT_EQ(starts, 1u);
}

}  // namespace
