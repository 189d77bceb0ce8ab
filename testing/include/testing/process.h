#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace drone_test {

// What a finished child process left behind.
struct ProcessResult {
  int exit_code = -1;  // exit status; -1 when the process was killed by a signal
  int signal = 0;      // the terminating signal, 0 when it exited normally
  std::string out;     // everything written on standard output
  std::string err;     // everything written on standard error
};

// Runs `argv` (argv[0] is the executable's path) to completion with standard input closed.
// `env_set` adds or replaces variables, `env_unset` removes them; the rest of the test's
// environment is inherited. Throws std::runtime_error when the process cannot be started.
ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env_set = {},
                          const std::vector<std::string>& env_unset = {});

// Starts `argv` as run_process does, with its output discarded, waits until `ready()` holds
// (asked every millisecond, for at most `timeout_seconds`), sends it `signal_number` and waits
// for its end. When the process ends before `ready()` held, nothing is sent. The result carries
// no output.
ProcessResult signal_when(const std::vector<std::string>& argv, const std::function<bool()>& ready,
                          int signal_number, double timeout_seconds = 120);

// The words that run a command as an unprivileged user (65534, "nobody") when the tests run as
// root, who can read any file whatever its mode: setpriv and its options; empty when not root.
// Sets *available to false when root has no setpriv to drop to, or when that user cannot reach
// this build's programs (a build below a private directory); the caller then skips.
std::vector<std::string> unprivileged_prefix(bool* available);

// Path of a program built by this project ($DRONE_BUILD_DIR/bin/<name>).
std::string program_path(const std::string& name);

// Runs this project's program `name` with `args` as run_process does, without the test's
// DRONE_TASK_PROGRESS_URL unless `env_set` gives one.
ProcessResult run_program(const std::string& name, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env_set = {},
                          const std::vector<std::string>& env_unset = {});

// The text of the last "[ERROR] " line on a run's standard error (lines before it may come from
// libraries' own logging); empty when there is none.
std::string error_text(const ProcessResult& run);

// Path of a file in the fixture folder (testing/fixtures in the source tree, or
// $DRONE_FIXTURES_DIR).
std::string fixture_path(const std::string& relative);

// The stdout lines of a run, split at '\n' (the last line's newline is not required).
std::vector<std::string> split_lines(const std::string& text);

// Runs a Python 3 script with Debian's interpreter (which has the rosbag module) and the
// given extra arguments; the script's standard output is returned in the result.
ProcessResult run_python(const std::string& script, const std::vector<std::string>& args = {});

}  // namespace drone_test
