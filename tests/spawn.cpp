#include "spawn.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "set_writer.hpp"

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "zunfel-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

Outcome spawn(const Spawn& s) {
  // Input and output go through files, so that no pipe can fill and stall.
  TempDir io;
  write_bytes(io / "in", s.input);
  const std::string out_path = io / "out";
  const pid_t pid = fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    const int in = open((io / "in").c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || chdir(s.cwd.c_str()) != 0) {
      _exit(120);
    }
    for (const auto& [name, value] : s.env) {
      setenv(name.c_str(), value.c_str(), 1);
    }
    if (s.file_size_limit >= 0) {
      const rlimit limit{static_cast<rlim_t>(s.file_size_limit),
                         static_cast<rlim_t>(s.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    signal(SIGXFSZ, s.ignore_xfsz ? SIG_IGN : SIG_DFL);
    std::vector<char*> argv;
    for (const std::string& a : s.argv) {
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(121);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  Outcome o;
  o.output = read_bytes(out_path);
  if (WIFEXITED(wstatus)) {
    o.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    o.signal = WTERMSIG(wstatus);
  }
  return o;
}
