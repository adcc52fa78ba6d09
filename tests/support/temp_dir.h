#pragma once
// A fresh directory per test, removed with everything in it afterwards.

#include <string>

#include "support/bytes.h"

namespace vidsalvage::test {

class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  std::string path(const std::string& name) const { return path_ + "/" + name; }

  void write(const std::string& name, const Bytes& bytes) const;
  Bytes read(const std::string& name) const;
  bool exists(const std::string& name) const;
  // The names in the directory, sorted.
  std::vector<std::string> list() const;

 private:
  std::string path_;
};

}  // namespace vidsalvage::test
