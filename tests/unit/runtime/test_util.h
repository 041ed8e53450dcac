// Temporary directories and small files for the runtime tests.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "runtime/environment.h"
#include "runtime/fs.h"
#include "runtime/head_tail.h"
#include "runtime/process.h"

namespace dovek::runtime::testing {

// A fresh directory under /tmp, removed with everything below it.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/dovek-rt-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
  }
  ~TempDir() {
    // Undo permission changes some tests make before removing.
    std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    (void)system(cmd.c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, const std::string& content, mode_t mode = 0644) {
  if (auto parent = parent_path(path); parent && !parent->empty()) {
    if (!create_dir_all(*parent).ok()) throw std::runtime_error("mkdir " + *parent);
  }
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
  }
  chmod(path.c_str(), mode);
}

inline std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline std::string manifest(const std::string& id, const std::string& entry = "run.sh",
                            const std::string& kind = "rust_binary") {
  return R"({"schema_version":1,"kind":")" + kind + R"(","id":")" + id +
         R"(","name":"Test","version":"0.1.0","entry":")" + entry + R"("})";
}

// An artifact root whose "rust_binary" entry is the shell script `body`.
inline void make_script_skill(const std::string& root, const std::string& id,
                              const std::string& body) {
  write_file(root + "/artifact.json", manifest(id));
  write_file(root + "/run.sh", "#!/bin/sh\n" + body + "\n", 0755);
}

// What `seq 1 n` prints.
inline std::string seq_lines(int n) {
  std::string all;
  for (int i = 1; i <= n; ++i) all += std::to_string(i) + "\n";
  return all;
}

// The standard error text a run keeps of `whole`: all of it up to
// 2 * HeadTail::kPart bytes, else the head and the tail around one line
// saying how much was left out.
inline std::string head_and_tail(const std::string& whole) {
  constexpr size_t kPart = HeadTail::kPart;
  if (whole.size() <= 2 * kPart) return whole;
  return whole.substr(0, kPart) + "\n[... " + std::to_string(whole.size() - 2 * kPart) +
         " bytes of standard error left out ...]\n" + whole.substr(whole.size() - kPart);
}

}  // namespace dovek::runtime::testing
