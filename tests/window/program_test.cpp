// Runs the real quillon.exe, with the engine and plug-in stand-ins beside it, in a scratch
// folder, and checks its resources, start-up, window, shut-down and exit codes.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/encodable_value.h"
#include "bridge/method_call.h"
#include "bridge/standard_method_codec.h"
#include "link_client.h"
#include "scoped_user_value.h"
#include "temp_dir.h"
#include "window_geometry.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

constexpr DWORD kProcessTimeoutMs = 30000;

fs::path binaryFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(path).parent_path();
}

const std::vector<std::wstring> kProgramFiles = {
    L"quillon.exe",
    L"flutter_windows.dll",
    L"app_links_plugin.dll",
    L"screen_retriever_plugin.dll",
    L"system_tray_plugin.dll",
    L"url_launcher_windows_plugin.dll",
    L"window_manager_plugin.dll",
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The program's files copied into a scratch folder, optionally with the UI's data folder.
class ProgramFolder {
 public:
  explicit ProgramFolder(bool withAssets) {
    for (const std::wstring& name : kProgramFiles) {
      fs::copy_file(binaryFolder() / name, folder() / name);
    }
    if (withAssets) fs::create_directories(folder() / "data" / "flutter_assets");
  }

  fs::path folder() const { return fs::path(dir_.path()); }
  std::string log() const { return readFile(folder() / "quillon_app.log"); }

 private:
  TempDir dir_;
};

// One run of quillon.exe, with the scratch folder as its working directory unless another is
// given.
class ProgramRun {
 public:
  explicit ProgramRun(const ProgramFolder& program, const std::vector<std::wstring>& arguments = {},
                      const fs::path& workingFolder = {}) {
    const std::wstring exe = (program.folder() / L"quillon.exe").wstring();
    std::wstring commandLine = L"\"" + exe + L"\"";
    for (const std::wstring& argument : arguments) commandLine += L" \"" + argument + L"\"";
    const std::wstring workingDirectory =
        (workingFolder.empty() ? program.folder() : workingFolder).wstring();
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    started_ = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              workingDirectory.c_str(), &startup, &process_) != 0;
  }
  ~ProgramRun() {
    if (!started_) return;
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.hProcess, 99);
      WaitForSingleObject(process_.hProcess, kProcessTimeoutMs);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  bool started() const { return started_; }

  // The exit code, or nothing when the process has not ended within the time-out.
  std::optional<DWORD> waitForExit() {
    if (WaitForSingleObject(process_.hProcess, kProcessTimeoutMs) != WAIT_OBJECT_0) return {};
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
  }

  // The program's main window once it is visible, or null when it is not within the time-out
  // (or the process ended first).
  HWND waitForVisibleWindow() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      if (HWND window = findWindow(); window != nullptr && IsWindowVisible(window)) return window;
      if (WaitForSingleObject(process_.hProcess, 50) == WAIT_OBJECT_0) return nullptr;
    }
    return nullptr;
  }

 private:
  HWND findWindow() {
    struct Search {
      DWORD processId;
      HWND found;
    } search{process_.dwProcessId, nullptr};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
          auto* s = reinterpret_cast<Search*>(data);
          DWORD owner = 0;
          GetWindowThreadProcessId(window, &owner);
          wchar_t className[64] = {};
          GetClassNameW(window, className, 64);
          if (owner == s->processId && std::wstring(className) == L"FLUTTER_RUNNER_WIN32_WINDOW") {
            s->found = window;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  PROCESS_INFORMATION process_{};
  bool started_ = false;
};

// The log's lines, without their CR LF ends.
std::vector<std::string> logLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string resourceText(HMODULE module, LPCWSTR name, LPCWSTR type) {
  HRSRC resource = FindResourceW(module, name, type);
  if (resource == nullptr) return "";
  HGLOBAL loaded = LoadResource(module, resource);
  const auto* bytes = static_cast<const char*>(LockResource(loaded));
  return std::string(bytes, SizeofResource(module, resource));
}

std::wstring versionString(const std::vector<char>& info, const std::wstring& key) {
  wchar_t* value = nullptr;
  UINT length = 0;
  const std::wstring path = L"\\StringFileInfo\\040904e4\\" + key;
  if (!VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length)) {
    return L"<missing>";
  }
  return value;
}

TEST(Program, CarriesManifestIconAndVersionRecord) {
  const std::wstring exe = (binaryFolder() / L"quillon.exe").wstring();
  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr);
  const std::string manifest = resourceText(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
  EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
  EXPECT_NE(manifest.find(">PerMonitorV2<"), std::string::npos);
  EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
  EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(101), RT_GROUP_ICON), nullptr);
  FreeLibrary(module);

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));
  EXPECT_EQ(versionString(info, L"FileDescription"), L"quillon");
  EXPECT_EQ(versionString(info, L"InternalName"), L"quillon");
  EXPECT_EQ(versionString(info, L"ProductName"), L"quillon");
  EXPECT_EQ(versionString(info, L"OriginalFilename"), L"quillon.exe");
  // The project's version, set once in the build.
  EXPECT_EQ(versionString(info, L"FileVersion"), QUILLON_VERSION_TEXT);
  EXPECT_EQ(versionString(info, L"ProductVersion"), QUILLON_VERSION_TEXT);

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(QUILLON_VERSION_MINOR, QUILLON_VERSION_MAJOR));
  EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, QUILLON_VERSION_PATCH));

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_GE(length, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 1252);
}

TEST(Program, ExitsWithOneWhenTheViewCannotBeCreated) {
  ProgramFolder program(/*withAssets=*/false);
  ProgramRun run(program);
  ASSERT_TRUE(run.started());
  EXPECT_EQ(run.waitForExit(), std::optional<DWORD>(1));

  const std::vector<std::string> lines = logLines(program.log());
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2].rfind("=== Application started at ", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3], "===");
  EXPECT_EQ(lines.back(), "Failed to create view controller.");
}

TEST(Program, RunsWithItsArgumentsAndClosesCleanly) {
  ProgramFolder program(/*withAssets=*/true);
  const fs::path portFile = program.folder() / "ui-link.port";
  // The last argument holds an unpaired surrogate: the UI gets an empty text in its place.
  const std::wstring illFormed = std::wstring(L"bad") + wchar_t(0xd800);
  // Started from another folder, as a shortcut may do: the UI's data is found beside the program.
  TempDir elsewhere;
  ProgramRun run(program, {L"--ui-link=" + portFile.wstring(), L"two words", illFormed},
                 fs::path(elsewhere.path()));
  ASSERT_TRUE(run.started());
  HWND window = run.waitForVisibleWindow();
  ASSERT_NE(window, nullptr) << program.log();

  wchar_t title[32] = {};
  GetWindowTextW(window, title, 32);
  EXPECT_EQ(std::wstring(title), L"Quillon");
  EXPECT_EQ(testing::geometryOf(window), (testing::WindowGeometry{10, 10, 350, 530}));
  const auto style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
  EXPECT_EQ(style & (WS_MAXIMIZEBOX | WS_THICKFRAME), 0u);

  // The UI receives the arguments after the program path, in order.
  driver::PortFile port;
  ASSERT_EQ(driver::readPortFile(portFile.string(), port), driver::LinkStatus::kOk);
  driver::LinkClient client;
  const auto deadline = driver::Clock::now() + std::chrono::seconds(10);
  ASSERT_EQ(client.open(port, deadline), driver::LinkStatus::kOk);
  const auto& codec = flutter::StandardMethodCodec::instance();
  std::vector<uint8_t> reply;
  ASSERT_EQ(
      client.call("standin/arguments",
                  codec.encodeMethodCall(flutter::MethodCall("get", flutter::EncodableValue())),
                  reply, deadline),
      driver::LinkStatus::kOk);
  const flutter::EncodableValue expected(
      flutter::EncodableList{"--ui-link=" + portFile.string(), "two words", ""});
  EXPECT_EQ(reply, codec.encodeSuccessEnvelope(&expected));

  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(run.waitForExit(), std::optional<DWORD>(0));

  const std::vector<std::string> lines = logLines(program.log());
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[3], "===");
  EXPECT_TRUE(std::regex_match(
      lines[4], std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] FlutterWindow initialized)")))
      << lines[4];
  EXPECT_EQ(lines[5], "Method Channels\xe5\xb7\xb2\xe8\xae\xbe\xe7\xbd\xae");
}

TEST(Program, ScalesItsWindowToTheMonitorDpi) {
  ProgramFolder program(/*withAssets=*/true);
  // Wine reads the system DPI when a process starts.
  testing::ScopedUserValue dpi(L"Control Panel\\Desktop", L"LogPixels");
  ASSERT_TRUE(dpi.setNumber(144));
  ProgramRun run(program);
  ASSERT_TRUE(run.started());
  HWND window = run.waitForVisibleWindow();
  ASSERT_NE(window, nullptr) << program.log();
  EXPECT_EQ(testing::geometryOf(window), (testing::WindowGeometry{15, 15, 525, 795}));
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(run.waitForExit(), std::optional<DWORD>(0));
}

}  // namespace
}  // namespace quillon
