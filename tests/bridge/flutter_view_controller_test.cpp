#include "bridge/flutter_view_controller.h"

#include "bridge_fixture.h"
#include "engine/standin_control.h"
#include "log_capture.h"

namespace quillon::testing {
namespace {

using FlutterViewControllerTest = BridgeTest;

TEST_F(FlutterViewControllerTest, RunsTheEngineInAView) {
  flutter::FlutterViewController controller(350, 530, project());
  ASSERT_NE(controller.view(), nullptr);
  ASSERT_NE(controller.engine(), nullptr);
  EXPECT_NE(controller.view()->childWindowHandle(), nullptr);
  EXPECT_NE(controller.engine()->messenger(), nullptr);
  EXPECT_FALSE(
      controller.handleTopLevelWindowProc(controller.view()->childWindowHandle(), WM_NULL, 0, 0));

  // The next-frame callback runs once, on this (the platform) thread, after a redraw.
  int frames = 0;
  controller.engine()->setNextFrameCallback([&] { ++frames; });
  controller.forceRedraw();
  drainPlatformTasks();
  EXPECT_EQ(frames, 1);
  controller.forceRedraw();
  drainPlatformTasks();
  EXPECT_EQ(frames, 1);
}

TEST_F(FlutterViewControllerTest, DestroyingTheControllerEndsTheHandedOverEngine) {
  auto controller = std::make_unique<flutter::FlutterViewController>(100, 100, project());
  ASSERT_NE(controller->view(), nullptr);
  FlutterDesktopMessengerRef messenger = FlutterDesktopMessengerAddRef(
      FlutterDesktopEngineGetMessenger(controller->engine()->engineHandle()));
  EXPECT_TRUE(FlutterDesktopMessengerIsAvailable(messenger));
  controller.reset();
  EXPECT_FALSE(FlutterDesktopMessengerIsAvailable(messenger));
  FlutterDesktopMessengerRelease(messenger);
}

TEST_F(FlutterViewControllerTest, FailureToCreateIsLogged) {
  LogCapture log;
  flutter::FlutterViewController controller(100, 100, project("no_such_folder"));
  EXPECT_EQ(controller.view(), nullptr);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Failed to create view controller."});
  controller.forceRedraw();
  EXPECT_FALSE(controller.handleTopLevelWindowProc(nullptr, WM_NULL, 0, 0));
}

}  // namespace
}  // namespace quillon::testing
