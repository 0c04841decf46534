#include "system/journal_storage.h"

#include <windows.h>

#include <shlobj.h>

#include <vector>

#include "system/network_journal.h"

namespace quillon {
namespace {

constexpr wchar_t kFolderName[] = L"Quillon";
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
  explicit FileJournalStorage(std::wstring folder)
      : folder_(std::move(folder)),
        journal_(folder_ + L"\\" + kJournalName),
        temporary_(journal_ + L".tmp"),
        rejected_(journal_ + L".rejected") {}

  JournalReadStatus read(std::string* contents, unsigned long* errorCode) override {
    contents->clear();
    FileHandle file(CreateFileW(journal_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return JournalReadStatus::kAbsent;
      }
      *errorCode = error;
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
    if (!MoveFileExW(temporary_.c_str(), journal_.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      *errorCode = GetLastError();
      DeleteFileW(temporary_.c_str());
      return false;
    }
    return true;
  }

  bool remove(unsigned long* errorCode) override {
    if (DeleteFileW(journal_.c_str())) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    *errorCode = error;
    return false;
  }

  bool setAside(unsigned long* errorCode) override {
    if (MoveFileExW(journal_.c_str(), rejected_.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    *errorCode = GetLastError();
    return false;
  }

 private:
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
  return std::make_unique<FileJournalStorage>(programDataFolder());
}

std::unique_ptr<JournalStorage> makeJournalStorageIn(const std::filesystem::path& folder) {
  return std::make_unique<FileJournalStorage>(
      std::filesystem::path(folder).make_preferred().wstring());
}

}  // namespace quillon
