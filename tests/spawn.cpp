#include "spawn.hpp"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <stdexcept>

#include "set_writer.hpp"

namespace fs = std::filesystem;

TempDir::TempDir(bool for_every_user) {
  const fs::path parent = for_every_user ? fs::path("/tmp") : fs::temp_directory_path();
  std::string pattern = (parent / "zunfel-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed in " + parent.string());
  }
  path_ = pattern;
  if (for_every_user && chmod(path_.c_str(), 0755) != 0) {
    throw std::runtime_error("cannot open " + path_ + " to every user");
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  // A case may leave a folder its user may not change or list: opened up first.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path_, ignored);
}

std::string runnable_copy(const std::string& path) {
  static TempDir tools(true);
  static std::map<std::string, std::string> copies;
  auto [it, fresh] = copies.try_emplace(path);
  if (fresh) {
    it->second = tools / fs::path(path).filename().string();
    fs::copy_file(path, it->second, fs::copy_options::overwrite_existing);
    chmod(it->second.c_str(), 0755);
  }
  return it->second;
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

std::vector<char*> argv_of(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  return argv;
}

Outcome outcome_of(int wstatus, std::string output) {
  Outcome o;
  o.output = std::move(output);
  if (WIFEXITED(wstatus)) {
    o.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    o.signal = WTERMSIG(wstatus);
  }
  return o;
}

}  // namespace

namespace {

// A seccomp filter that answers openat2 with `error` and lets all else through.
bool refuse_openat2(int error) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

Outcome spawn(const Spawn& s) {
  // Input and output go through files, so that no pipe can fill and stall.
  TempDir io;
  write_bytes(io / "in", s.input);
  const std::string out_path = io / "out";
  const std::string err_path = io / "err";
  int gone[2] = {-1, -1};  // a pipe whose read end is closed before the run
  if (s.broken_pipe_stdout && pipe(gone) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (gone[0] >= 0) {
    close(gone[0]);
  }
  const pid_t pid = fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    const int in = open((io / "in").c_str(), O_RDONLY);
    const int out =
        s.broken_pipe_stdout ? gone[1] : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err =
        open(s.detach ? "/dev/null" : err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(s.cwd.c_str()) != 0) {
      _exit(120);
    }
    if (s.detach) {
      setsid();
    }
    for (const auto& [path, fd] :
         {std::pair{s.stdin_from, 0}, std::pair{s.stdout_to, 1}, std::pair{s.stderr_to, 2}}) {
      const int file = path.empty() ? fd
                       : fd == 0    ? open(path.c_str(), O_RDONLY)
                                    : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (file < 0 || dup2(file, fd) < 0) _exit(124);
    }
    for (const auto& [name, value] : s.env) {
      setenv(name.c_str(), value.c_str(), 1);
    }
    for (const auto& [resource, value] : {std::pair{RLIMIT_FSIZE, s.file_size_limit},
                                          std::pair{RLIMIT_NOFILE, s.open_files_limit}}) {
      const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
      if (value >= 0) setrlimit(resource, &limit);
    }
    if (s.umask >= 0) {
      umask(static_cast<mode_t>(s.umask));
    }
    if (s.uid >= 0 &&
        (setgid(static_cast<gid_t>(s.uid)) != 0 || setuid(static_cast<uid_t>(s.uid)) != 0)) {
      _exit(123);
    }
    signal(SIGXFSZ, SIG_DFL);  // the program itself must ignore it
    signal(SIGPIPE, SIG_DFL);
    if (s.close_stdout) {
      close(1);
    }
    if (s.close_stdin) {
      close(0);
    }
    if (s.openat2_error != 0 && !refuse_openat2(s.openat2_error)) {
      _exit(122);
    }
    // Only the standard descriptors go to the program, as from a shell: a
    // descriptor limit then counts from 3.
    close_range(3, ~0U, 0);
    execv(s.argv[0].c_str(), argv_of(s.argv).data());
    _exit(121);
  }
  if (gone[1] >= 0) {
    close(gone[1]);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  Outcome o = outcome_of(wstatus, fs::exists(out_path) ? read_bytes(out_path) : std::string());
  if (fs::exists(err_path)) {
    o.errors = read_bytes(err_path);
  }
  return o;
}

Dialogue::Dialogue(const std::vector<std::string>& argv, const std::string& cwd,
                   int output_capacity, bool nonblocking_input, bool full_nonblocking_output,
                   std::vector<int> ignored, int uid, std::vector<std::pair<int, long>> limits,
                   int terminal) {
  int in[2];
  int out[2];
  if (terminal > 0) {
    // Standard output is a pseudo-terminal; standard input stays a pipe, so
    // that only output can make the program think it is on a terminal.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios raw{};
    if (slave < 0 || tcgetattr(slave, &raw) != 0) {
      throw std::runtime_error("cannot open the pseudo-terminal");
    }
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    const winsize size{24, static_cast<unsigned short>(terminal), 0, 0};
    ioctl(slave, TIOCSWINSZ, &size);
    if (pipe(in) != 0) {
      throw std::runtime_error("pipe failed");
    }
    out[1] = slave;
    out[0] = master;
  } else if (pipe(in) != 0 || pipe(out) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (output_capacity > 0 && fcntl(out[1], F_SETPIPE_SZ, output_capacity) < 0) {
    throw std::runtime_error("cannot size the output pipe");
  }
  if (full_nonblocking_output) {
    fcntl(out[1], F_SETFL, O_NONBLOCK);
    const std::string filler(4096, '.');
    while (write(out[1], filler.data(), filler.size()) > 0) {
    }
  }
  pid_ = fork();
  if (pid_ < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || chdir(cwd.c_str()) != 0 ||
        (nonblocking_input && fcntl(0, F_SETFL, O_NONBLOCK) != 0)) {
      _exit(120);
    }
    close(in[1]);
    close(out[0]);
    // Whatever the caller ignores, the program meets interrupts as a shell's would.
    for (int sig = 1; sig < 65; ++sig) {
      ::signal(sig, SIG_DFL);
    }
    for (const int sig : ignored) {
      ::signal(sig, SIG_IGN);
    }
    const rlimit no_core{0, 0};  // a signal that dumps core leaves none
    setrlimit(RLIMIT_CORE, &no_core);
    for (const auto& [resource, value] : limits) {
      const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
      setrlimit(static_cast<__rlimit_resource>(resource), &limit);
    }
    if (uid >= 0 &&
        (setgid(static_cast<gid_t>(uid)) != 0 || setuid(static_cast<uid_t>(uid)) != 0)) {
      _exit(123);
    }
    execv(argv[0].c_str(), argv_of(argv).data());
    _exit(121);
  }
  close(in[0]);
  close(out[1]);
  to_child_ = in[1];
  from_child_ = out[0];
}

Dialogue::~Dialogue() {
  if (pid_ > 0) {
    finish();
  }
}

bool Dialogue::read_some(int timeout_ms) {
  pollfd p{from_child_, POLLIN, 0};
  if (ended_ || poll(&p, 1, timeout_ms) <= 0) {
    return false;
  }
  char chunk[4096];
  const ssize_t n = read(from_child_, chunk, sizeof chunk);
  ended_ = n <= 0;
  if (!ended_) {
    output_.append(chunk, static_cast<std::size_t>(n));
  }
  return !ended_;
}

bool Dialogue::wait_for(const std::string& text, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (output_.find(text) == std::string::npos) {
    if (ended_ || std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    read_some(100);
  }
  return true;
}

void Dialogue::send(const std::string& bytes) {
  if (write(to_child_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("write to the program failed");
  }
}

void Dialogue::signal(int sig) { kill(pid_, sig); }

Outcome Dialogue::finish() {
  close(to_child_);
  while (read_some(-1)) {
  }
  close(from_child_);
  int wstatus = wstatus_;
  if (wstatus_ < 0) {
    waitpid(pid_, &wstatus, 0);
  }
  pid_ = -1;
  return outcome_of(wstatus, output_);
}

bool Dialogue::wait_for_end(int seconds) {
  for (int k = 0; k < seconds * 100; ++k) {
    read_some(0);
    int wstatus = 0;
    if (waitpid(pid_, &wstatus, WNOHANG) == pid_) {
      wstatus_ = wstatus;
      return true;
    }
    usleep(10000);
  }
  return false;
}
