// The stand-in view's control panel: native controls that let a person connect and disconnect the
// program and watch its statistics without the external UI. Every button sends a real method call
// through the engine's incoming-message path, exactly as the UI would.
#ifndef QUILLON_ENGINE_UI_PANEL_WIN_H_
#define QUILLON_ENGINE_UI_PANEL_WIN_H_

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge/engine_api.h"

namespace standin {

// The panel's window class and control identifiers (children of the panel window).
inline constexpr wchar_t kUiPanelClass[] = L"StandinUiPanel";
enum UiPanelControl : int {
  kPanelHostField = 101,
  kPanelPortField,
  kPanelUserField,
  kPanelPasswordField,
  kPanelDnsField,
  kPanelTitleField,
  kPanelConnectButton,
  kPanelDisconnectButton,
  kPanelStateLine,
  kPanelTrafficLine,
  kPanelActiveLine,
  kPanelRecordsLine,
};

struct UiPanelShared;

class UiPanel {
 public:
  // Platform thread. Creates the panel as a child of `parent`, filling it, for `engine` (which
  // must outlive the panel). `arguments` are the entrypoint arguments: "--connect=HOST:PORT" with
  // "--user=", "--password=", "--dns=" and "--title=" make the first frame connect. Null when the
  // window cannot be created.
  static std::unique_ptr<UiPanel> create(HWND parent, FlutterDesktopEngineRef engine,
                                         const std::vector<std::string>& arguments);
  // Platform thread. Stops listening to the program's sends and destroys the controls.
  ~UiPanel();
  UiPanel(const UiPanel&) = delete;
  UiPanel& operator=(const UiPanel&) = delete;

  HWND window() const { return window_; }
  // Platform thread, right after the view asked for its first frame: once that frame has run
  // (platform work runs in order), firstFrameShown follows.
  void afterNextFrame();
  // Platform thread. The view drew its first frame; connects once if the arguments asked for it.
  void firstFrameShown();

 private:
  UiPanel() = default;
  static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void createControls();
  void layout(int width, int height);
  void connect();
  void disconnect();
  void askRecordCount();
  void refresh();
  void call(const char* channel, std::vector<uint8_t> message, int purpose);

  // Set once at creation; touched only on the platform thread.
  FlutterDesktopEngineRef engine_ = nullptr;
  HWND window_ = nullptr;
  HFONT font_ = nullptr;  // owned when not the stock font
  bool ownsFont_ = false;
  bool autoConnect_ = false;
  std::wstring autoHost_, autoPort_, autoUser_, autoPassword_, autoDns_, autoTitle_;
  int pushesSeen_ = 0;
  // Shared with the program's sending threads and reply paths.
  std::shared_ptr<UiPanelShared> shared_;
};

}  // namespace standin

#endif  // QUILLON_ENGINE_UI_PANEL_WIN_H_
