#pragma once

#include <functional>
#include <string>
#include <vector>

namespace drone_bench {

// What one measured run cost.
struct Usage {
  double wall_seconds = 0;  // elapsed time
  double cpu_seconds = 0;   // user and system time
  double peak_mib = 0;      // peak resident memory of the child; 0 for a run in this process
};

// A finished child process and what it cost.
struct ChildRun {
  Usage usage;
  int exit_code = -1;  // exit status; -1 when a signal ended it
  int signal = 0;      // the signal that ended it; 0 when it exited
  std::string out;     // what it sent back: its standard output, or the reply of run_in_child
  bool ok() const { return exit_code == 0; }
};

// Runs the program argv[0] with the arguments that follow, standard output captured, standard
// error discarded and DRONE_TASK_PROGRESS_URL removed from its environment, and waits for it.
// Throws std::runtime_error when it cannot be started or does not exit with status 0.
ChildRun run_program(const std::vector<std::string>& argv);

// Runs `body` in a forked child, so that the peak memory measured is the child's own, and
// returns the text that `body` returned as `out`. A body that throws ends the child with status
// 1 after printing the message on standard error; the caller reads ok(). Pending standard output
// is flushed before the fork, so the child never prints the parent's lines again.
ChildRun run_in_child(const std::function<std::string()>& body);

// Runs `body` (writing a recording, say) in a forked child, and throws when it fails. What the
// body sets aside then never enters this process: a child measured later starts with this
// process's resident pages, which its peak counts.
void apart(const std::function<void()>& body);

// Times `body` in this process: wall time and the process's CPU time (peak_mib stays 0).
Usage time_here(const std::function<void()>& body);

// The floor a converter is measured against: copies `from` to `to` through a 1 MiB user-space
// buffer, reading and writing every byte as a converter must, and syncs the copy to the disk, as
// a conversion does before its output takes its name. Throws std::runtime_error when the copy or
// the sync fails.
void copy_and_sync(const std::string& from, const std::string& to);

// The middle value (the upper one of an even count); 0 for no values.
double median(std::vector<double> values);

// The usages of repeated runs of one command.
class Samples {
 public:
  void add(const Usage& usage);
  // Median wall and CPU time, and the largest peak of all runs.
  Usage summary() const;
  bool empty() const { return wall_.empty(); }

 private:
  std::vector<double> wall_;
  std::vector<double> cpu_;
  double peak_mib_ = 0;
};

}  // namespace drone_bench
