// Entry point of the UI driver; see driver.h.
#include <iostream>

#include "driver.h"
#include "driver_console.h"

int main(int argc, char** argv) {
  quillon::driver::prepareConsole();
  return quillon::driver::runDriver(quillon::driver::utf8Arguments(argc, argv), std::cout,
                                    std::cerr);
}
