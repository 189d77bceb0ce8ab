#include "testing/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>

namespace drone_test {

namespace {

std::vector<std::string> child_environment(const std::map<std::string, std::string>& set,
                                           const std::vector<std::string>& unset) {
  std::set<std::string> drop(unset.begin(), unset.end());
  for (const auto& kv : set) drop.insert(kv.first);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    if (drop.count(name) == 0) env.push_back(entry);
  }
  for (const auto& kv : set) env.push_back(kv.first + "=" + kv.second);
  return env;
}

std::vector<char*> c_strings(std::vector<std::string>& words) {
  std::vector<char*> out;
  out.reserve(words.size() + 1);
  for (std::string& w : words) out.push_back(w.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env_set,
                          const std::vector<std::string>& env_unset) {
  if (argv.empty()) throw std::runtime_error("run_process: empty command");
  std::vector<std::string> args = argv;
  std::vector<std::string> env = child_environment(env_set, env_unset);
  std::vector<char*> c_args = c_strings(args);
  std::vector<char*> c_env = c_strings(env);

  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("run_process: pipe failed");
  }
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("run_process: fork failed");
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    execve(c_args[0], c_args.data(), c_env.data());
    const char msg[] = "run_process: exec failed\n";
    (void)!write(2, msg, sizeof msg - 1);
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);

  ProcessResult result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  char buf[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

ProcessResult signal_when(const std::vector<std::string>& argv, const std::function<bool()>& ready,
                          int signal_number, double timeout_seconds) {
  if (argv.empty()) throw std::runtime_error("signal_when: empty command");
  std::vector<std::string> args = argv;
  std::vector<char*> c_args = c_strings(args);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("signal_when: fork failed");
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    execv(c_args[0], c_args.data());
    _exit(127);
  }
  int status = 0;
  bool ended = false;
  for (double waited = 0; waited < timeout_seconds; waited += 0.001) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      ended = true;
      break;
    }
    if (ready()) break;
    usleep(1000);
  }
  if (!ended) {
    kill(pid, signal_number);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  ProcessResult result;
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

std::vector<std::string> unprivileged_prefix(bool* available) {
  *available = true;
  if (geteuid() != 0) return {};
  if (access("/usr/bin/setpriv", X_OK) != 0) {
    *available = false;
    return {};
  }
  std::vector<std::string> prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                     "--clear-groups"};
  // A build below a private directory (root's home, a fresh mktemp -d) is out of that user's
  // reach: the programs would not even start.
  const std::string build = program_path("");
  std::vector<std::string> probe = prefix;
  probe.insert(probe.end(), {"/usr/bin/test", "-x", build, "-a", "-x", build + "../lib"});
  *available = run_process(probe).exit_code == 0;
  return prefix;
}

std::string program_path(const std::string& name) {
  const char* dir = std::getenv("DRONE_BUILD_DIR");
  if (dir == nullptr) throw std::runtime_error("DRONE_BUILD_DIR is not set (run through ctest)");
  return std::string(dir) + "/bin/" + name;
}

std::string fixture_path(const std::string& relative) {
  if (const char* dir = std::getenv("DRONE_FIXTURES_DIR")) return std::string(dir) + "/" + relative;
  const char* src = std::getenv("DRONE_SOURCE_DIR");
  if (src == nullptr) throw std::runtime_error("DRONE_SOURCE_DIR is not set (run through ctest)");
  return std::string(src) + "/testing/fixtures/" + relative;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

ProcessResult run_python(const std::string& script, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/python3", "-c", script};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, {}, {"PYTHONPATH", "PYTHONHOME"});
}

ProcessResult run_program(const std::string& name, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env_set,
                          const std::vector<std::string>& env_unset) {
  std::vector<std::string> argv = {program_path(name)};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> unset = env_unset;
  unset.emplace_back("DRONE_TASK_PROGRESS_URL");
  return run_process(argv, env_set, unset);
}

std::string error_text(const ProcessResult& run) {
  std::string text;
  for (const std::string& line : split_lines(run.err)) {
    if (line.rfind("[ERROR] ", 0) == 0) text = line.substr(8);
  }
  return text;
}

}  // namespace drone_test
