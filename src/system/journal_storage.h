// Where the network journal lives on disk: one file in a per-user folder that only its owner
// (and administrators) may write, replaced as a whole on every update so that a crash leaves
// either the old or the new journal, never a mix. A replaceable part, so that tests see every
// write without touching the disk.
#pragma once

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace quillon {

enum class JournalReadStatus { kAbsent, kRead, kTooLarge, kFailed };

class JournalStorage {
 public:
  virtual ~JournalStorage() = default;

  // Reads the whole journal into `contents`. kAbsent when there is none; kTooLarge (contents
  // left empty) when it is larger than kMaxJournalBytes; kFailed with the platform's error code.
  virtual JournalReadStatus read(std::string* contents, unsigned long* errorCode) = 0;

  // Replaces the journal with `contents`: written completely to a temporary file beside it,
  // flushed to the disk, then renamed over the old one. Creates the folder when it is missing.
  // False with the platform's error code; the old journal is then still in place.
  virtual bool write(const std::string& contents, unsigned long* errorCode) = 0;

  // Deletes the journal; true also when there was none.
  virtual bool remove(unsigned long* errorCode) = 0;

  // Writes `contents` over the journal where it is, without the rename that write() uses: for
  // a journal that cannot be deleted or replaced because another program holds it open. False
  // with the platform's error code, also when there is no journal.
  virtual bool overwriteInPlace(const std::string& contents, unsigned long* errorCode) = 0;

  // Renames the journal to the same name with ".rejected" added (replacing an earlier one), so
  // that it is kept for a person to look at but never read again.
  virtual bool setAside(unsigned long* errorCode) = 0;
};

// The waits between the tries of a file operation that another program holds up for a moment:
// an antivirus scanner or the search indexer opening a file that was just written. About 2 s
// in all.
inline constexpr std::array<int, 9> kHeldFileRetryDelaysMs = {10,  20,  40,  80, 160,
                                                              320, 500, 500, 500};

// Runs `operation` (false with an error code) until it succeeds, fails with a code that `held`
// does not accept, or the delays of kHeldFileRetryDelaysMs are used up; `wait` waits between
// tries. The result and `errorCode` are those of the last try.
bool retryWhileHeld(const std::function<bool(unsigned long* errorCode)>& operation,
                    const std::function<bool(unsigned long errorCode)>& held,
                    const std::function<void(std::chrono::milliseconds)>& wait,
                    unsigned long* errorCode);

// The journal "network-settings.journal" in the program's folder of the user's local
// application data: Windows "%LOCALAPPDATA%\Quillon" (the Known Folder), created with an access
// list that grants only its owner, the administrators and the system; elsewhere
// "$XDG_STATE_HOME/quillon" or "~/.local/state/quillon", created with mode 0700. Every
// operation fails when that folder cannot be found.
std::unique_ptr<JournalStorage> makeSystemJournalStorage();

// The same journal in `folder` (tests).
std::unique_ptr<JournalStorage> makeJournalStorageIn(const std::filesystem::path& folder);

#ifdef _WIN32
// The calls of the Windows journal that another program holding the file open makes fail, and
// the wait between tries; tests pass fakes. The file calls have MoveFileExW's and DeleteFileW's
// shape: non-zero on success, else zero with the code in GetLastError.
struct JournalFileCalls {
  int (*moveFile)(const wchar_t* from, const wchar_t* to, unsigned long flags);
  int (*deleteFile)(const wchar_t* path);
  void (*wait)(unsigned long milliseconds);
};
// The same journal in `folder`, renaming and deleting through `calls`.
std::unique_ptr<JournalStorage> makeJournalStorageIn(const std::filesystem::path& folder,
                                                     const JournalFileCalls& calls);
#endif

}  // namespace quillon
