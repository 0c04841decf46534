#include "bridge/flutter_engine.h"

#include "bridge_fixture.h"
#include "engine/standin_control.h"
#include "log_capture.h"

namespace quillon::testing {
namespace {

using FlutterEngineTest = BridgeTest;

TEST_F(FlutterEngineTest, EngineStartsWithTheProjectArguments) {
  flutter::UiProject withArguments = project();
  withArguments.entrypointArguments = {"--one", "два"};
  flutter::FlutterEngine engine(withArguments);
  ASSERT_NE(engine.engineHandle(), nullptr);
  ASSERT_NE(engine.messenger(), nullptr);
  EXPECT_EQ(standin::entrypointArguments(engine.engineHandle()), withArguments.entrypointArguments);
  EXPECT_TRUE(standin::entrypointArguments(handle()).empty());

  engine.reloadSystemFonts();
  EXPECT_EQ(standin::fontReloadCount(engine.engineHandle()), 1);
}

TEST_F(FlutterEngineTest, RegistrarNeedsARunningEngine) {
  {
    LogCapture log;
    EXPECT_NE(engine_->pluginRegistrar("SystemTrayPlugin"), nullptr);
    EXPECT_TRUE(log.lines().empty());
  }
  LogCapture log;
  flutter::FlutterEngine missing(project("no_such_folder"));
  EXPECT_EQ(missing.engineHandle(), nullptr);
  EXPECT_EQ(missing.messenger(), nullptr);
  EXPECT_EQ(missing.pluginRegistrar("SystemTrayPlugin"), nullptr);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Cannot get plugin registrar on an engine that "
                                                  "isn't running; call Run first."});
  // The other operations do nothing without an engine.
  missing.reloadSystemFonts();
  missing.setNextFrameCallback([] {});
}

TEST_F(FlutterEngineTest, EngineIsDestroyedOnlyWhileOwned) {
  // Owned: destroying the wrapper ends the engine.
  FlutterDesktopMessengerRef owned =
      FlutterDesktopMessengerAddRef(FlutterDesktopEngineGetMessenger(handle()));
  engine_.reset();
  EXPECT_FALSE(FlutterDesktopMessengerIsAvailable(owned));
  FlutterDesktopMessengerRelease(owned);

  // Handed over: the engine outlives the wrapper until its new owner destroys it.
  auto engine = std::make_unique<flutter::FlutterEngine>(project());
  FlutterDesktopEngineRef handedOver = engine->handOverEngine();
  ASSERT_NE(handedOver, nullptr);
  EXPECT_EQ(engine->engineHandle(), handedOver);
  FlutterDesktopMessengerRef messenger =
      FlutterDesktopMessengerAddRef(FlutterDesktopEngineGetMessenger(handedOver));
  engine.reset();
  EXPECT_TRUE(FlutterDesktopMessengerIsAvailable(messenger));
  EXPECT_TRUE(FlutterDesktopEngineDestroy(handedOver));
  EXPECT_FALSE(FlutterDesktopMessengerIsAvailable(messenger));
  FlutterDesktopMessengerRelease(messenger);
}

}  // namespace
}  // namespace quillon::testing
