#include "support/environment.h"

#include <stdlib.h>

#include "support/target.h"

namespace vidsalvage::test {

ScopedVariable::ScopedVariable(const std::string& name, const std::string& value)
    : name_(name), setting_(name + "=" + value) {
  putenv(setting_.data());
}

ScopedVariable::~ScopedVariable() {
  // "NAME=" removes the variable on Windows; the C library of Linux removes it
  // for "NAME" alone and copies nothing.
  std::string removal = kWindowsBuild ? name_ + "=" : name_;
  putenv(removal.data());
}

}  // namespace vidsalvage::test
