#include "bench/measure.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <fstream>
#include <stdexcept>

namespace drone_bench {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpu_of(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double process_cpu_now() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Reads `fd` to its end into `out`, then closes it.
void drain(int fd, std::string& out) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fd);
}

// Waits for `pid` and fills in its status and usage; the wall time counts from `start`.
void reap(pid_t pid, Clock::time_point start, ChildRun& run) {
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) throw std::runtime_error("wait4 failed");
  }
  run.usage.wall_seconds = seconds_since(start);
  run.usage.cpu_seconds = cpu_of(usage);
  run.usage.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  if (WIFEXITED(status)) {
    run.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    run.signal = WTERMSIG(status);
  }
}

// Writes all of `text` to `fd`; false when a write fails.
bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Forks a child that runs `child` with the write end of a pipe, its status the child's exit
// status; the parent collects what it wrote, its status and its usage.
ChildRun measure_child(const std::function<int(int write_fd)>& child) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::close(pipe_fds[0]);
    ::_exit(child(pipe_fds[1]));
  }
  ::close(pipe_fds[1]);
  ChildRun run;
  drain(pipe_fds[0], run.out);
  reap(pid, start, run);
  return run;
}

}  // namespace

ChildRun run_program(const std::vector<std::string>& argv) {
  if (argv.empty()) throw std::runtime_error("run_program: empty command");
  std::vector<std::string> words = argv;
  std::vector<char*> args;
  args.reserve(words.size() + 1);
  for (std::string& w : words) args.push_back(w.data());
  args.push_back(nullptr);
  ChildRun run = measure_child([&args](int write_fd) {
    ::dup2(write_fd, 1);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    ::unsetenv("DRONE_TASK_PROGRESS_URL");
    ::execv(args[0], args.data());
    return 127;
  });
  if (!run.ok()) throw std::runtime_error(argv[0] + " failed on " + argv.back());
  return run;
}

void apart(const std::function<void()>& body) {
  const ChildRun run = run_in_child([&body] {
    body();
    return std::string();
  });
  if (!run.ok()) throw std::runtime_error("a step run apart failed");
}

ChildRun run_in_child(const std::function<std::string()>& body) {
  return measure_child([&body](int write_fd) {
    int status = 1;
    try {
      status = write_all(write_fd, body()) ? 0 : 1;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
    }
    std::fflush(nullptr);
    return status;
  });
}

Usage time_here(const std::function<void()>& body) {
  const auto start = Clock::now();
  const double cpu_start = process_cpu_now();
  body();
  Usage usage;
  usage.cpu_seconds = process_cpu_now() - cpu_start;
  usage.wall_seconds = seconds_since(start);
  return usage;
}

void copy_and_sync(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  std::vector<char> buffer(1 << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    out.write(buffer.data(), in.gcount());
  }
  out.close();
  if (!out) throw std::runtime_error("copy failed");
  const int fd = ::open(to.c_str(), O_RDONLY);
  const bool synced = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  if (!synced) throw std::runtime_error("sync failed");
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void Samples::add(const Usage& usage) {
  wall_.push_back(usage.wall_seconds);
  cpu_.push_back(usage.cpu_seconds);
  peak_mib_ = std::max(peak_mib_, usage.peak_mib);
}

Usage Samples::summary() const {
  Usage usage;
  usage.wall_seconds = median(wall_);
  usage.cpu_seconds = median(cpu_);
  usage.peak_mib = peak_mib_;
  return usage;
}

}  // namespace drone_bench
