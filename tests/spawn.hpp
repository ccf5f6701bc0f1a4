// Runs a program as a user would: in a folder, with given standard-input
// bytes, capturing standard output and the status the shell would see.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct Outcome {
  std::string output;
  std::string errors;  // standard error
  int status = -1;     // 0-255 as the shell sees it, or -1 when a signal ended it
  int signal = 0;
};

struct Spawn {
  std::vector<std::string> argv;
  std::string cwd;
  std::string input;
  std::vector<std::pair<std::string, std::string>> env;  // added to the environment
  long file_size_limit = -1;                             // RLIMIT_FSIZE in bytes, if >= 0
  long open_files_limit = -1;                            // RLIMIT_NOFILE, if >= 0
  int umask = -1;                                        // the run's umask, if >= 0
  // The kernel answers openat2 with this error: ENOSYS as before Linux 5.6,
  // EPERM as some container profiles do; 0: openat2 works.
  int openat2_error = 0;
  bool detach = false;  // no controlling terminal, standard error discarded
  // Standard output (and then `output` stays empty) and input as a careless
  // caller may leave them: closed, or a pipe whose reader has gone.
  bool close_stdout = false;
  bool broken_pipe_stdout = false;
  bool close_stdin = false;
  int uid = -1;  // run as this user (and group), from root
  // Standard input read from, or output written over (as `>` does), a file
  // of the run's folder.
  std::string stdin_from;
  std::string stdout_to;
  std::string stderr_to;
};

Outcome spawn(const Spawn& s);

// A run whose standard input and output are pipes, for a test that reads a
// question before it answers, as a user at a pipe would.
class Dialogue {
 public:
  // With `output_capacity`, the output pipe holds only that many bytes, so
  // that a run whose output is not read blocks once it has written them.
  // With `nonblocking_input`, standard input is a pipe in non-blocking mode.
  // With `full_nonblocking_output`, the output pipe is non-blocking and
  // already full when the program starts. Signals in `ignored` are ignored
  // by the program from its start, as under nohup. With `uid`, it runs as
  // that user (and group), from root. `limits` are resource limits (soft and
  // hard alike) of the run. With `terminal` columns, output is a
  // pseudo-terminal in raw mode of that width instead of a pipe.
  Dialogue(const std::vector<std::string>& argv, const std::string& cwd, int output_capacity = 0,
           bool nonblocking_input = false, bool full_nonblocking_output = false,
           std::vector<int> ignored = {}, int uid = -1,
           std::vector<std::pair<int, long>> limits = {}, int terminal = 0);
  // True once the program has ended, its input still open; false after `seconds`.
  bool wait_for_end(int seconds);
  int pid() const { return pid_; }
  ~Dialogue();
  Dialogue(const Dialogue&) = delete;
  Dialogue& operator=(const Dialogue&) = delete;
  // Reads output until it holds `text`; false when `seconds` pass first.
  bool wait_for(const std::string& text, int seconds);
  const std::string& output() const { return output_; }
  void send(const std::string& bytes);
  void signal(int sig);
  // Ends the input, reads the rest of the output and waits for the end.
  Outcome finish();

 private:
  bool read_some(int timeout_ms);
  int pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
  bool ended_ = false;  // the output reached its end
  int wstatus_ = -1;    // once waited for
  std::string output_;
};

// A fresh folder under the temporary folder, removed with everything in it.
// A folder `for_every_user` is made under the system's own temporary folder
// instead, which every user may enter (TMPDIR may name a private one), and
// may itself be entered by everyone.
class TempDir {
 public:
  explicit TempDir(bool for_every_user = false);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A copy of a program or library in a folder of its own under the system's
// temporary folder, which any user may enter and whose path holds no blank, so that a
// run as another user or through LD_PRELOAD does not depend on where the
// checkout lives. Copied once per process; the copy goes at its end.
std::string runnable_copy(const std::string& path);

// The names in a folder, sorted.
std::vector<std::string> list_dir(const std::string& dir);
