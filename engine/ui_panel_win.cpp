#include "ui_panel_win.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine_internal.h"
#include "module_win.h"
#include "panel_codec.h"

namespace standin {

namespace {

constexpr char kVpnChannel[] = "com.quillon.app/vpn";
constexpr char kStatsChannel[] = "com.quillon.app/stats";
constexpr UINT kRefreshMessage = WM_APP + 20;
constexpr UINT kFirstFrameMessage = WM_APP + 21;
// The layout is drawn for a client area of this many logical pixels and scaled to the real one.
constexpr int kLogicalWidth = 350;
constexpr int kLogicalHeight = 530;

enum Purpose { kConnectCall, kDisconnectCall, kRecordsCall };

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(std::max(length, 0)), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
  return out;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
  std::string out(static_cast<size_t>(std::max(length, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length,
                      nullptr, nullptr);
  return out;
}

std::wstring controlText(HWND panel, int id) {
  HWND control = GetDlgItem(panel, id);
  int length = GetWindowTextLengthW(control);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  GetWindowTextW(control, text.data(), length + 1);
  text.resize(static_cast<size_t>(std::max(length, 0)));
  return text;
}

// A port as typed: decimal digits that fit an int32, anything else 0 (which the program refuses).
int32_t parsePort(const std::wstring& text) {
  if (text.empty() || text.size() > 10) return 0;
  int64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return 0;
    value = value * 10 + (c - L'0');
  }
  return value > INT32_MAX ? 0 : static_cast<int32_t>(value);
}

struct Row {
  int id;
  const wchar_t* label;
  DWORD extraStyle;
};
constexpr Row kFields[] = {
    {kPanelHostField, L"Server host", 0}, {kPanelPortField, L"Port", ES_NUMBER},
    {kPanelUserField, L"User name", 0},   {kPanelPasswordField, L"Password", ES_PASSWORD},
    {kPanelDnsField, L"DNS server", 0},   {kPanelTitleField, L"Title", 0},
};
constexpr int kStatusLines[] = {kPanelStateLine, kPanelTrafficLine, kPanelActiveLine,
                                kPanelRecordsLine};

}  // namespace

// What the program's threads hand to the panel. The panel window reads it on the platform thread
// after a refresh message; no other thread touches a control.
struct UiPanelShared {
  std::mutex mutex;
  // Guarded by mutex.
  HWND window = nullptr;  // null once the panel is gone
  std::wstring state = L"Disconnected";
  int pushes = 0;
  int64_t bytesSent = 0;
  int64_t bytesReceived = 0;
  int64_t activeConnections = 0;
  int64_t records = -1;  // not asked yet

  void notify() {
    if (window != nullptr) PostMessageW(window, kRefreshMessage, 0, 0);
  }
};

std::unique_ptr<UiPanel> UiPanel::create(HWND parent, FlutterDesktopEngineRef engine,
                                         const std::vector<std::string>& arguments) {
  static std::once_flag registered;
  std::call_once(registered, [] {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &UiPanel::windowProc;
    windowClass.hInstance = thisModule();
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kUiPanelClass;
    RegisterClassW(&windowClass);
  });
  std::unique_ptr<UiPanel> panel(new UiPanel);
  panel->engine_ = engine;
  for (const std::string& argument : arguments) {
    auto value = [&](const char* prefix, std::wstring& out) {
      size_t length = std::strlen(prefix);
      if (argument.compare(0, length, prefix) != 0) return false;
      out = widen(argument.substr(length));
      return true;
    };
    std::wstring target;
    if (value("--connect=", target)) {
      size_t colon = target.rfind(L':');
      panel->autoConnect_ = true;
      panel->autoHost_ = target.substr(0, colon);
      panel->autoPort_ = colon == std::wstring::npos ? L"" : target.substr(colon + 1);
    } else if (!value("--user=", panel->autoUser_) && !value("--password=", panel->autoPassword_) &&
               !value("--dns=", panel->autoDns_)) {
      value("--title=", panel->autoTitle_);
    }
  }
  RECT client{};
  GetClientRect(parent, &client);
  panel->window_ =
      CreateWindowExW(0, kUiPanelClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0,
                      client.right, client.bottom, parent, nullptr, thisModule(), panel.get());
  if (panel->window_ == nullptr) return nullptr;
  panel->shared_ = std::make_shared<UiPanelShared>();
  panel->shared_->window = panel->window_;
  panel->createControls();
  panel->layout(client.right, client.bottom);
  panel->refresh();

  // The program's sends: only the statistics push matters here. Runs on the sending thread.
  std::weak_ptr<UiPanelShared> weak = panel->shared_;
  std::lock_guard<std::mutex> lock(engine->state->mutex);
  engine->state->viewListener = [weak](const std::string& channel, const uint8_t* data,
                                       size_t size) {
    if (channel != kStatsChannel) return;
    std::optional<panel::Call> call = panel::decodeCall(data, size);
    if (!call || call->method != "onStatsUpdate") return;
    std::shared_ptr<UiPanelShared> shared = weak.lock();
    if (!shared) return;
    std::lock_guard<std::mutex> lock(shared->mutex);
    const auto& numbers = call->arguments.numbers;
    auto number = [&](const char* key) {
      auto found = numbers.find(key);
      return found == numbers.end() ? int64_t{0} : found->second;
    };
    shared->bytesSent = number("bytesSent");
    shared->bytesReceived = number("bytesReceived");
    shared->activeConnections = number("activeConnections");
    ++shared->pushes;
    shared->notify();
  };
  return panel;
}

UiPanel::~UiPanel() {
  if (engine_ != nullptr && shared_) {
    std::lock_guard<std::mutex> lock(engine_->state->mutex);
    engine_->state->viewListener = nullptr;
  }
  if (shared_) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->window = nullptr;
  }
  if (window_ != nullptr) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  if (ownsFont_) DeleteObject(font_);
}

LRESULT CALLBACK UiPanel::windowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* panel = reinterpret_cast<UiPanel*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (panel == nullptr || panel->shared_ == nullptr) {
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }
  switch (message) {
    case WM_SIZE:
      panel->layout(LOWORD(lparam), HIWORD(lparam));
      return 0;
    case WM_COMMAND:
      if (HIWORD(wparam) == BN_CLICKED && LOWORD(wparam) == kPanelConnectButton) {
        panel->connect();
        return 0;
      }
      if (HIWORD(wparam) == BN_CLICKED && LOWORD(wparam) == kPanelDisconnectButton) {
        panel->disconnect();
        return 0;
      }
      break;
    case kRefreshMessage:
      panel->refresh();
      return 0;
    case kFirstFrameMessage:
      panel->firstFrameShown();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

void UiPanel::createControls() {
  auto add = [&](const wchar_t* type, const wchar_t* text, DWORD style, int id, DWORD exStyle) {
    CreateWindowExW(exStyle, type, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, window_,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), thisModule(), nullptr);
  };
  for (const Row& row : kFields) {
    add(L"STATIC", row.label, SS_LEFT, row.id + 100, 0);
    add(L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL | row.extraStyle, row.id, WS_EX_CLIENTEDGE);
  }
  add(L"BUTTON", L"Connect", WS_TABSTOP | BS_DEFPUSHBUTTON, kPanelConnectButton, 0);
  add(L"BUTTON", L"Disconnect", WS_TABSTOP | BS_PUSHBUTTON, kPanelDisconnectButton, 0);
  for (int id : kStatusLines) add(L"STATIC", L"", SS_LEFT, id, 0);
}

void UiPanel::layout(int width, int height) {
  double scale = std::min(width / static_cast<double>(kLogicalWidth),
                          height / static_cast<double>(kLogicalHeight));
  if (scale <= 0) scale = 1;
  auto px = [scale](int logical) { return static_cast<int>(logical * scale); };

  HFONT stock = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  HFONT font = stock;
  if (scale > 1.01) {
    LOGFONTW description{};
    GetObjectW(stock, sizeof(description), &description);
    description.lfHeight = static_cast<LONG>(description.lfHeight * scale);
    font = CreateFontIndirectW(&description);
    if (font == nullptr) font = stock;
  }
  HFONT old = font_;
  bool oldOwned = ownsFont_;
  font_ = font;
  ownsFont_ = font != stock;

  auto place = [&](int id, int x, int y, int w, int h) {
    HWND control = GetDlgItem(window_, id);
    MoveWindow(control, px(x), px(y), px(w), px(h), TRUE);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  };
  int y = 14;
  for (const Row& row : kFields) {
    place(row.id + 100, 12, y + 4, 100, 18);
    place(row.id, 116, y, 222, 22);
    y += 32;
  }
  y += 6;
  place(kPanelConnectButton, 12, y, 157, 30);
  place(kPanelDisconnectButton, 181, y, 157, 30);
  y += 46;
  for (int id : kStatusLines) {
    place(id, 12, y, 326, 20);
    y += 26;
  }
  if (oldOwned) DeleteObject(old);
}

void UiPanel::refresh() {
  std::wstring state, traffic, active, records;
  int pushes = 0;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    state = L"State: " + shared_->state;
    traffic = L"Sent: " + std::to_wstring(shared_->bytesSent) + L" bytes, received: " +
              std::to_wstring(shared_->bytesReceived) + L" bytes";
    active = L"Active connections: " + std::to_wstring(shared_->activeConnections);
    records = L"Recorded connections: " +
              (shared_->records < 0 ? std::wstring(L"-") : std::to_wstring(shared_->records));
    pushes = shared_->pushes;
  }
  SetDlgItemTextW(window_, kPanelStateLine, state.c_str());
  SetDlgItemTextW(window_, kPanelTrafficLine, traffic.c_str());
  SetDlgItemTextW(window_, kPanelActiveLine, active.c_str());
  SetDlgItemTextW(window_, kPanelRecordsLine, records.c_str());
  // The first push, and then every tenth, also refreshes the count of recorded connections:
  // asking on every push would add a channel call, and a line in the program's log, each second.
  if (pushes != pushesSeen_) {
    const bool refresh = pushesSeen_ == 0 || pushes / 10 != pushesSeen_ / 10;
    pushesSeen_ = pushes;
    if (refresh) askRecordCount();
  }
}

void UiPanel::firstFrameShown() {
  if (!autoConnect_) return;
  autoConnect_ = false;
  SetDlgItemTextW(window_, kPanelHostField, autoHost_.c_str());
  SetDlgItemTextW(window_, kPanelPortField, autoPort_.c_str());
  SetDlgItemTextW(window_, kPanelUserField, autoUser_.c_str());
  SetDlgItemTextW(window_, kPanelPasswordField, autoPassword_.c_str());
  SetDlgItemTextW(window_, kPanelDnsField, autoDns_.c_str());
  SetDlgItemTextW(window_, kPanelTitleField, autoTitle_.c_str());
  connect();
}

void UiPanel::connect() {
  std::vector<std::pair<std::string, panel::Argument>> arguments = {
      {"proxyHost", narrow(controlText(window_, kPanelHostField))},
      {"proxyPort", parsePort(controlText(window_, kPanelPortField))},
      {"username", narrow(controlText(window_, kPanelUserField))},
      {"password", narrow(controlText(window_, kPanelPasswordField))},
      {"dnsServer", narrow(controlText(window_, kPanelDnsField))},
      {"serverTitle", narrow(controlText(window_, kPanelTitleField))},
  };
  call(kVpnChannel, panel::encodeCall("startVpn", arguments), kConnectCall);
}

void UiPanel::disconnect() { call(kVpnChannel, panel::encodeCall("stopVpn", {}), kDisconnectCall); }

void UiPanel::askRecordCount() {
  call(kVpnChannel, panel::encodeCall("getTcpConnections", {}), kRecordsCall);
}

void UiPanel::call(const char* channel, std::vector<uint8_t> message, int purpose) {
  if (purpose != kRecordsCall) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->state = purpose == kConnectCall ? L"Connecting..." : L"Disconnecting...";
    shared_->notify();
  }
  std::weak_ptr<UiPanelShared> weak = shared_;
  postToProgram(
      engine_, channel, std::move(message), [weak, purpose](const uint8_t* data, size_t size) {
        std::shared_ptr<UiPanelShared> shared = weak.lock();
        if (!shared) return;
        panel::Reply reply = panel::decodeReply(data, size);
        bool success = reply.kind == panel::Reply::Kind::kSuccess;
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (purpose == kRecordsCall) {
          if (success && reply.value.kind == panel::Value::Kind::kList) {
            shared->records = static_cast<int64_t>(reply.value.length);
          }
        } else if (success && reply.value.kind == panel::Value::Kind::kBool) {
          bool ok = reply.value.boolean;
          shared->state = purpose == kConnectCall ? (ok ? L"Connected" : L"Connection failed")
                                                  : L"Disconnected";
        } else if (reply.kind == panel::Reply::Kind::kError) {
          shared->state = L"Error " + widen(reply.code);
        } else {
          shared->state = L"No answer from the program";
        }
        shared->notify();
      });
}

void UiPanel::afterNextFrame() { PostMessageW(window_, kFirstFrameMessage, 0, 0); }

}  // namespace standin
