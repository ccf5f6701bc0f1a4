// Runs a program as a user would: in a folder, with given standard-input
// bytes, capturing standard output and the status the shell would see.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct Outcome {
  std::string output;
  int status = -1;  // 0-255 as the shell sees it, or -1 when a signal ended it
  int signal = 0;
};

struct Spawn {
  std::vector<std::string> argv;
  std::string cwd;
  std::string input;
  std::vector<std::pair<std::string, std::string>> env;  // added to the environment
  long file_size_limit = -1;                             // RLIMIT_FSIZE in bytes, if >= 0
  bool ignore_xfsz = false;                              // start with SIGXFSZ ignored
};

Outcome spawn(const Spawn& s);

// A fresh folder under the temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The names in a folder, sorted.
std::vector<std::string> list_dir(const std::string& dir);
