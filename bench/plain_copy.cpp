// plain_copy FILE... > OUT: concatenates files with read and write through
// one 128 KiB buffer. A second baseline for the benchmark: cat copies inside
// the kernel (copy_file_range) where it can, and no tool that must look at
// every byte can do that.
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  static char buffer[128 * 1024];
  for (int i = 1; i < argc; ++i) {
    const int fd = open(argv[i], O_RDONLY);
    if (fd < 0) return 1;
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0) return 1;
      if (n == 0) break;
      for (ssize_t done = 0; done < n;) {
        const ssize_t w = write(1, buffer + done, static_cast<size_t>(n - done));
        if (w <= 0) return 1;
        done += w;
      }
    }
    close(fd);
  }
  return 0;
}
