#pragma once

#include <string>

#include "framework/task.h"

// The job of cloudconv_node: converts the Livox frames of one bag into PointCloud2 clouds in a
// new bag and reports the counts. Holds no data.
class LivoxToPc2Task : public drone_task::Task {
 public:
  ~LivoxToPc2Task() override = default;

  // Reads input_bag, source_topic ("/livox/lidar"), target_topic ("/livox/points"),
  // output_bag (empty or "None": derived from the input path) and point_fields (absent: x, y,
  // z, intensity), runs the conversion and finishes with the result document. A point_fields
  // list that does not read throws std::runtime_error naming the known fields, before any
  // report. A failed conversion throws drone_task::FailureWithResult with the converter's
  // error text, which the entry announces as {"success":false,"error":...}.
  void run(const drone_task::Params& params, drone_task::Reporter& reporter) override;

 private:
  static std::string escape_json(const std::string& text);
};
