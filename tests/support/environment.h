#pragma once
// Environment variables that switch on a test seam of the program itself.

#include <string>

namespace vidsalvage::test {

// Sets `name` to `value` for the life of the object, then removes it. Only for
// variables that nothing else sets.
class ScopedVariable {
 public:
  ScopedVariable(const std::string& name, const std::string& value);
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;
  ~ScopedVariable();

 private:
  std::string name_;
  std::string setting_;  // "NAME=value"; POSIX keeps a pointer to it while set
};

}  // namespace vidsalvage::test
