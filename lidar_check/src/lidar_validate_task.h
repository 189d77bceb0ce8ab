#pragma once

#include <string>

#include "framework/task.h"

// The job of scancheck_node: validate the Livox frames of one bag topic and report the
// findings as a JSON result document.
class LidarValidateTask : public drone_task::Task {
 public:
  ~LidarValidateTask() override;

  // Reads the options bag (required), topic, interval, tolerance, min_points, min_elevation
  // and max_elevation, reports 0 percent, validates, reports 50 percent and finishes with the
  // result document. Throws std::runtime_error with "缺少参数 --bag" before any report when
  // bag is missing or empty, and with the validator's error text when validation fails.
  void run(const drone_task::Params& params, drone_task::Reporter& reporter) override;

 private:
  // The suite's JSON string escaping, applied to the texts of the result document.
  static std::string escape_json(const std::string& text);
};
