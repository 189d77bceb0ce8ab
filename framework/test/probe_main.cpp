// A program on the entry skeleton whose task does what its options ask, so that the tests can
// drive the skeleton as the six programs use it.
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

#include "framework/entry.h"

namespace {

class ProbeTask : public drone_task::Task {
 public:
  ~ProbeTask() override = default;
  void run(const drone_task::Params& params, drone_task::Reporter& reporter) override {
    reporter.report(0, "开始", "{}");
    // What a library might print on its own.
    if (params.has("print")) {
      std::printf("%s\n", params.get_string("print", "").c_str());
      std::fflush(stdout);
      std::cout << params.get_string("print", "") << std::endl;
    }
    if (params.has("finish")) reporter.finish(params.get_string("finish", "{}"));
    if (params.has("fail")) throw std::runtime_error(params.get_string("fail", ""));
    if (params.has("fail-with-result")) {
      throw drone_task::FailureWithResult(params.get_string("fail-with-result", ""));
    }
    reporter.report(50, "value=" + params.get_string("value", "none"), "{}");
    reporter.finish(R"({"success":true})", {{"title", "remark", "/out/file"}});
  }
};

constexpr drone_task::ProgramInfo kInfo{"taskkit_probe", "Usage: taskkit_probe [--fail TEXT]\n"};

}  // namespace

int main(int argc, char** argv) { return drone_task::run_main<ProbeTask>(argc, argv, kInfo); }
