#include "app/driver.h"
#include "io/platform_file.h"

int main(int argc, char** argv) {
  vidsalvage::platform::prepare_standard_output();
  return vidsalvage::run(argc, argv);
}
