// Every program's output stays byte for byte the same whatever global locale its process runs
// under: a host that embeds a task and switches to a locale with digit grouping and a decimal
// comma must still get plain JSON numbers.

#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <locale>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bag_analyzer_task.h"
#include "caikongqu_task.h"
#include "framework/params.h"
#include "framework/task.h"
#include "lidar_validate_task.h"
#include "livox_to_pc2_task.h"
#include "mission_validate_task.h"
#include "scan2fullpcd_task.h"
#include "testing/locale.h"
#include "testing/process.h"
#include "testing/task_run.h"
#include "testing/temp_dir.h"

namespace {

// The installed German locale: digit grouping and a decimal comma, for the C library as well.
constexpr char kGermanLocale[] = "de_DE.UTF-8";

struct ProgramCase {
  const char* program;
  std::function<std::unique_ptr<drone_task::Task>()> make;
  drone_task::ParamMap params;
  // A piece of the classic-locale document with a number that grouping or a comma would change,
  // which also shows that the run got as far as its result.
  std::string in_document;
  // The message of the intermediate lines the program's long step reports once it runs longer
  // than a second; those lines depend on timing and are left out of the comparison.
  std::string step;
};

drone_test::TaskRun run(const ProgramCase& c) {
  const std::unique_ptr<drone_task::Task> task = c.make();
  drone_test::TaskRun run = drone_test::run_task(*task, c.params);
  if (!c.step.empty()) run.lines = drone_test::without_progress_steps(std::move(run.lines), c.step);
  return run;
}

// A mission long enough for its counts to take a thousands separator.
std::string long_mission() {
  std::string text = "{\"name\":\"long\",\"tasks\":[";
  for (int i = 1; i <= 1200; ++i) {
    if (i > 1) text += ',';
    text += "{\"id\":" + std::to_string(i) + ",\"x\":" + std::to_string(i % 50) +
            ".5,\"y\":0.25,\"z\":1.5,\"yaw\":0.0,\"action\":2,\"light\":80,\"p1\":0,\"p2\":0}";
  }
  return text + "]}";
}

class SuiteLocaleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new drone_test::TempDir();
    const drone_test::ProcessResult samples =
        drone_test::run_process({drone_test::program_path("drone_samples"), dir_->path()});
    ASSERT_EQ(samples.exit_code, 0) << samples.err;
    drone_test::write_file(dir_->file("long_mission.json"), long_mission());
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static std::vector<ProgramCase> cases() {
    const std::string flight = dir_->file("flight.bag");
    return {
        {"routecheck_node",
         [] { return std::make_unique<MissionValidateTask>(); },
         {{"mission-file", dir_->file("long_mission.json")}},
         "\"waypoint_count\":1200",
         ""},
        {"bagstat_node",
         [] { return std::make_unique<BagAnalyzerTask>(); },
         {{"bag", flight}},
         "\"total_messages\":1099,\"duration_seconds\":9.99}",
         ""},
        {"scancheck_node",
         [] { return std::make_unique<LidarValidateTask>(); },
         {{"bag", flight}},
         "\"avg_points\":4000.00",
         "正在检查"},
        {"cloudconv_node",
         [] { return std::make_unique<LivoxToPc2Task>(); },
         {{"input_bag", flight}, {"output_bag", dir_->file("flight_pc2.bag")}},
         "\"total_points\":396000}",
         "正在转换"},
        {"voidvol_node",
         [] { return std::make_unique<CaikongquTask>(); },
         {{"input", dir_->file("void.pcd")}, {"depth", "6"}, {"output_dir", dir_->path()}},
         "\"points_count\":30000,",
         "正在重建表面"},
        {"scanmerge_node",
         [] { return std::make_unique<Scan2FullPcdTask>(); },
         {{"input_dir", dir_->file("site")}, {"output_pcd", dir_->file("merged.pcd")}},
         "\"keyframe_count\":12,\"total_points\":18000}",
         "正在合并关键帧"},
    };
  }

  // Runs every program under the classic locale and then under `locale`, expecting the same
  // lines and the same failure, if any.
  static void expect_same_output_under(const std::locale& locale) {
    for (const ProgramCase& c : cases()) {
      const drone_test::TaskRun classic = run(c);
      ASSERT_FALSE(classic.threw) << c.program << ": " << classic.error;
      ASSERT_FALSE(classic.lines.empty()) << c.program;
      EXPECT_NE(classic.lines.back().find(c.in_document), std::string::npos)
          << c.program << '\n'
          << classic.lines.back();
      drone_test::TaskRun localized;
      {
        const drone_test::GlobalLocale switched(locale);
        localized = run(c);
      }
      EXPECT_EQ(localized.lines, classic.lines) << c.program;
      EXPECT_EQ(localized.error, classic.error) << c.program;
    }
  }

  static drone_test::TempDir* dir_;
};

drone_test::TempDir* SuiteLocaleTest::dir_ = nullptr;

TEST_F(SuiteLocaleTest, OutputIgnoresAGroupingDecimalCommaLocale) {
  expect_same_output_under(drone_test::grouping_comma_locale());
}

TEST_F(SuiteLocaleTest, OutputIgnoresTheGermanLocale) {
  std::locale german;
  try {
    german = std::locale(kGermanLocale);
  } catch (const std::runtime_error&) {
    GTEST_SKIP() << kGermanLocale << " is not installed; scripts/install-deps.sh generates it";
  }
  expect_same_output_under(german);
}

}  // namespace
