// A scratch folder that exists for the life of the object and is removed with everything in it.
#pragma once

#include <string>

namespace quillon::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder's path with forward slashes (accepted by both platforms' file calls).
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace quillon::testing
