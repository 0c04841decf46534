// Runs another executable of the build for the end-to-end link tests, with its standard output
// going to a file. Every wait is bounded; a child still running at destruction is killed.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillon::testing {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` (a path, or a bare file name found beside the test executable) with
  // `arguments`; its standard output goes to `outputFile` (UTF-8 path). False when it cannot
  // start.
  bool start(const std::string& program, const std::vector<std::string>& arguments,
             const std::string& outputFile);
  // The exit code once the child has ended within `timeoutMs`; nothing while it still runs.
  std::optional<int> wait(int timeoutMs);
  void kill();
  // True from a successful start until wait() has seen the end or kill() was called.
  bool running() const { return id_ != 0; }

 private:
  long long id_ = 0;  // process id natively, process handle on Windows; 0 when none
};

// Runs `program` to its end (at most `timeoutMs`) and returns its exit code (-1 when it did not
// start or did not end in time) with its standard output in `output`.
int runToEnd(const std::string& program, const std::vector<std::string>& arguments,
             const std::string& outputFile, std::string& output, int timeoutMs = 20000);

}  // namespace quillon::testing
