#include "descriptor_count.h"

namespace quillon::testing {

int openDescriptorCount() { return -1; }

int waitForDescriptorCount(int, int) { return -1; }

int threadCount() { return -1; }

int raiseDescriptorLimit() { return -1; }

}  // namespace quillon::testing
