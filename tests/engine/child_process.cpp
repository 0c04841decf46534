#include "child_process.h"

#include <fstream>
#include <iterator>

namespace quillon::testing {

int runToEnd(const std::string& program, const std::vector<std::string>& arguments,
             const std::string& outputFile, std::string& output, int timeoutMs) {
  ChildProcess child;
  if (!child.start(program, arguments, outputFile)) return -1;
  std::optional<int> code = child.wait(timeoutMs);
  std::ifstream in(outputFile, std::ios::binary);
  output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return code.value_or(-1);
}

}  // namespace quillon::testing
