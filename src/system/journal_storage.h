// Where the network journal lives on disk: one file in a per-user folder that only its owner
// (and administrators) may write, replaced as a whole on every update so that a crash leaves
// either the old or the new journal, never a mix. A replaceable part, so that tests see every
// write without touching the disk.
#pragma once

#include <filesystem>
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

  // Renames the journal to the same name with ".rejected" added (replacing an earlier one), so
  // that it is kept for a person to look at but never read again.
  virtual bool setAside(unsigned long* errorCode) = 0;
};

// The journal "network-settings.journal" in the program's folder of the user's local
// application data: Windows "%LOCALAPPDATA%\Quillon" (the Known Folder), created with an access
// list that grants only its owner, the administrators and the system; elsewhere
// "$XDG_STATE_HOME/quillon" or "~/.local/state/quillon", created with mode 0700. Every
// operation fails when that folder cannot be found.
std::unique_ptr<JournalStorage> makeSystemJournalStorage();

// The same journal in `folder` (tests).
std::unique_ptr<JournalStorage> makeJournalStorageIn(const std::filesystem::path& folder);

}  // namespace quillon
