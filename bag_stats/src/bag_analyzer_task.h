#pragma once

#include <string>

#include "framework/task.h"

// The job of bagstat_node: lists the topics of the bag named by --bag with their message types
// and counts, and the recording's duration, as the result document
// {"topics":[{"name":..,"count":..,"msg_type":..},..],"total_messages":N,"duration_seconds":D}.
// Reports 0 percent before the analysis and 50 percent after it, then finishes with the
// document. Throws std::runtime_error "缺少参数 --bag" before any report when --bag is missing or
// empty, and the analyzer's error text when the bag cannot be opened; exceptions of the bag
// library pass through unchanged.
class BagAnalyzerTask : public drone_task::Task {
 public:
  void run(const drone_task::Params& params, drone_task::Reporter& reporter) override;

  // The suite's JSON string escaping (drone_task::escape_json), used for topic names and types.
  static std::string escape_json(const std::string& s);
};
