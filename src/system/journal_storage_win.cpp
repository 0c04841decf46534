#include "system/journal_storage.h"

#include <windows.h>

#include <shlobj.h>

#include <functional>
#include <vector>

#include "system/network_journal.h"

namespace quillon {
namespace {

constexpr wchar_t kFolderName[] = L"Quillon";

int realMoveFile(const wchar_t* from, const wchar_t* to, unsigned long flags) {
  return MoveFileExW(from, to, flags);
}
int realDeleteFile(const wchar_t* path) { return DeleteFileW(path); }
void realWait(unsigned long milliseconds) { Sleep(milliseconds); }
constexpr JournalFileCalls kRealFileCalls = {&realMoveFile, &realDeleteFile, &realWait};

// Antivirus scanners and the search indexer open a file briefly after it was written. Renaming
// over it or deleting it then fails with ERROR_SHARING_VIOLATION when they did not share
// delete access, or with ERROR_ACCESS_DENIED once it is deleted but still open ("DeleteFileW
// function (fileapi.h)": the file goes only when its last handle is closed, and opening it
// meanwhile fails with ERROR_ACCESS_DENIED). Both pass within moments, so such failures are
// tried again (retryWhileHeld); any other failure is final at once.
bool heldByAnotherProgram(unsigned long error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}
constexpr wchar_t kJournalName[] = L"network-settings.journal";

// Owns one file handle.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() { close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  void close() {
    if (valid()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

// The access list the folder is created with: full access for the owner of this process's
// objects (the administrators group when elevated, else the user), the administrators and the
// system, inherited by the files in it, and nothing inherited from the folder above, which
// would let every process of the user write the journal.
class OwnerOnlySecurity {
 public:
  bool build() {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return false;
    const FileHandle token(rawToken);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenOwner, nullptr, 0, &size);
    owner_.resize(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenOwner, owner_.data(), size, &size)) {
      return false;
    }
    PSID owner = reinterpret_cast<TOKEN_OWNER*>(owner_.data())->Owner;
    DWORD adminsSize = sizeof(admins_);
    DWORD systemSize = sizeof(system_);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins_, &adminsSize) ||
        !CreateWellKnownSid(WinLocalSystemSid, nullptr, system_, &systemSize)) {
      return false;
    }
    PSID sids[] = {owner, admins_, system_};
    DWORD aclSize = sizeof(ACL);
    for (PSID sid : sids) aclSize += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
    acl_.assign(aclSize, 0);
    auto* acl = reinterpret_cast<ACL*>(acl_.data());
    if (!InitializeAcl(acl, aclSize, ACL_REVISION)) return false;
    for (PSID sid : sids) {
      if (!AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                 FILE_ALL_ACCESS, sid)) {
        return false;
      }
    }
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      return false;
    }
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    return true;
  }
  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

 private:
  std::vector<BYTE> owner_;
  BYTE admins_[SECURITY_MAX_SID_SIZE] = {};
  BYTE system_[SECURITY_MAX_SID_SIZE] = {};
  std::vector<BYTE> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

class FileJournalStorage final : public JournalStorage {
 public:
  FileJournalStorage(std::wstring folder, const JournalFileCalls& calls)
      : calls_(calls),
        folder_(std::move(folder)),
        journal_(folder_ + L"\\" + kJournalName),
        temporary_(journal_ + L".tmp"),
        rejected_(journal_ + L".rejected") {}

  JournalReadStatus read(std::string* contents, unsigned long* errorCode) override {
    contents->clear();
    HANDLE opened = INVALID_HANDLE_VALUE;
    const bool open = retry(
        [&](unsigned long* error) {
          opened = CreateFileW(journal_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
          *error = opened == INVALID_HANDLE_VALUE ? GetLastError() : 0;
          return opened != INVALID_HANDLE_VALUE;
        },
        errorCode);
    FileHandle file(opened);
    if (!open) {
      if (*errorCode == ERROR_FILE_NOT_FOUND || *errorCode == ERROR_PATH_NOT_FOUND) {
        return JournalReadStatus::kAbsent;
      }
      return JournalReadStatus::kFailed;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
      *errorCode = GetLastError();
      return JournalReadStatus::kFailed;
    }
    if (size.QuadPart > static_cast<LONGLONG>(kMaxJournalBytes)) {
      return JournalReadStatus::kTooLarge;
    }
    contents->resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    if (!contents->empty()) {
      if (!ReadFile(file.get(), contents->data(), static_cast<DWORD>(contents->size()), &read,
                    nullptr)) {
        *errorCode = GetLastError();
        contents->clear();
        return JournalReadStatus::kFailed;
      }
      if (read != contents->size()) {  // the file shrank under us
        *errorCode = ERROR_HANDLE_EOF;
        contents->clear();
        return JournalReadStatus::kFailed;
      }
    }
    return JournalReadStatus::kRead;
  }

  bool write(const std::string& contents, unsigned long* errorCode) override {
    if (!ensureFolder(errorCode)) return false;
    if (!writeTemporary(contents, errorCode)) {
      DeleteFileW(temporary_.c_str());
      return false;
    }
    if (!moveOver(temporary_, journal_, errorCode)) {
      DeleteFileW(temporary_.c_str());
      return false;
    }
    return true;
  }

  bool remove(unsigned long* errorCode) override {
    const bool removed = retry(
        [&](unsigned long* error) {
          if (calls_.deleteFile(journal_.c_str())) return true;
          *error = GetLastError();
          return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND;
        },
        errorCode);
    return removed;
  }

  bool overwriteInPlace(const std::string& contents, unsigned long* errorCode) override {
    HANDLE opened = INVALID_HANDLE_VALUE;
    // Whoever holds the file for a scan shares reading and writing, if not deleting.
    const bool open = retry(
        [&](unsigned long* error) {
          opened = CreateFileW(journal_.c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
          *error = opened == INVALID_HANDLE_VALUE ? GetLastError() : 0;
          return opened != INVALID_HANDLE_VALUE;
        },
        errorCode);
    FileHandle file(opened);
    DWORD written = 0;
    if (!open ||
        !WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &written,
                   nullptr) ||
        written != contents.size() || !SetEndOfFile(file.get()) || !FlushFileBuffers(file.get())) {
      if (open) *errorCode = GetLastError();
      return false;
    }
    return true;
  }

  bool setAside(unsigned long* errorCode) override {
    return moveOver(journal_, rejected_, errorCode);
  }

 private:
  bool retry(const std::function<bool(unsigned long*)>& operation, unsigned long* errorCode) {
    return retryWhileHeld(
        operation, heldByAnotherProgram,
        [this](std::chrono::milliseconds delay) {
          calls_.wait(static_cast<unsigned long>(delay.count()));
        },
        errorCode);
  }

  // Renames `from` over `to`, tried again while another program holds either.
  bool moveOver(const std::wstring& from, const std::wstring& to, unsigned long* errorCode) {
    return retry(
        [&](unsigned long* error) {
          if (calls_.moveFile(from.c_str(), to.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
          }
          *error = GetLastError();
          return false;
        },
        errorCode);
  }

  bool ensureFolder(unsigned long* errorCode) {
    if (folder_.empty()) {
      *errorCode = ERROR_PATH_NOT_FOUND;
      return false;
    }
    OwnerOnlySecurity security;
    if (!security.build()) {
      *errorCode = GetLastError();
      return false;
    }
    if (CreateDirectoryW(folder_.c_str(), security.attributes())) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      *errorCode = GetLastError();
      return false;
    }
    // A folder put there by someone else as a link would send this elevated process's writes
    // wherever it points.
    const DWORD attributes = GetFileAttributesW(folder_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      *errorCode = ERROR_DIRECTORY;
      return false;
    }
    return true;
  }

  bool writeTemporary(const std::string& contents, unsigned long* errorCode) {
    FileHandle file(CreateFileW(temporary_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file.valid() ||
        !WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &written,
                   nullptr) ||
        written != contents.size() || !FlushFileBuffers(file.get())) {
      *errorCode = GetLastError();
      return false;
    }
    return true;
  }

  const JournalFileCalls calls_;
  const std::wstring folder_;
  const std::wstring journal_;
  const std::wstring temporary_;
  const std::wstring rejected_;
};

// "%LOCALAPPDATA%\Quillon", or "" when the known folder cannot be found.
std::wstring programDataFolder() {
  PWSTR path = nullptr;
  std::wstring folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &path))) {
    folder = std::wstring(path) + L"\\" + kFolderName;
  }
  CoTaskMemFree(path);
  return folder;
}

}  // namespace

std::unique_ptr<JournalStorage> makeSystemJournalStorage() {
  return std::make_unique<FileJournalStorage>(programDataFolder(), kRealFileCalls);
}

std::unique_ptr<JournalStorage> makeJournalStorageIn(const std::filesystem::path& folder,
                                                     const JournalFileCalls& calls) {
  return std::make_unique<FileJournalStorage>(
      std::filesystem::path(folder).make_preferred().wstring(), calls);
}

std::unique_ptr<JournalStorage> makeJournalStorageIn(const std::filesystem::path& folder) {
  return makeJournalStorageIn(folder, kRealFileCalls);
}

}  // namespace quillon
