#include "app/driver.h"

int main(int argc, char** argv) { return vidsalvage::run(argc, argv); }
