// Feeds arbitrary bytes to the UI link's frame reader, split into chunks the way a socket may
// deliver them, and checks that every frame it yields encodes back to the bytes it came from.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ui_link_frames.h"

using standin::link::Frame;
using standin::link::FrameReader;
using standin::link::ReadStatus;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the chunk size, so the splits vary with the input.
  size_t chunk = static_cast<size_t>(data[0] % 16) + 1;
  ++data;
  --size;

  FrameReader reader;
  size_t consumed = 0;  // bytes of the input taken by whole frames so far
  bool bad = false;
  for (size_t pos = 0; pos < size && !bad; pos += chunk) {
    size_t length = size - pos < chunk ? size - pos : chunk;
    reader.append(data + pos, length);
    for (;;) {
      Frame frame;
      ReadStatus status = reader.next(frame);
      if (status == ReadStatus::kNeedMore) break;
      if (status == ReadStatus::kBad) {
        bad = true;
        break;
      }
      std::vector<uint8_t> again = standin::link::encodeFrame(frame);
      if (again.size() > size - consumed ||
          !std::equal(again.begin(), again.end(), data + consumed)) {
        std::abort();
      }
      consumed += again.size();
    }
  }
  // Decoding a body on its own must agree with the reader's rules as well.
  Frame single;
  if (standin::link::decodeFrameBody(data, size, single)) {
    std::vector<uint8_t> again = standin::link::encodeFrame(single);
    if (again.size() != size + 4 || !std::equal(again.begin() + 4, again.end(), data)) {
      std::abort();
    }
  }
  return 0;
}
