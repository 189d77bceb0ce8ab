#include "scan_paths.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ScanPaths, DerivesTheOutputPathFromTheScanDirectory) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/data/site1/scan", "/data/site1/site1_full.pcd"},
      {"/data/site1/scan/", "/data/site1/site1_full.pcd"},
      {"/data/site1/scans", "/data/site1/scans/scans_full.pcd"},
      {"cloud", "cloud/cloud_full.pcd"},
      {"cloud/", "cloud/cloud_full.pcd"},
      {"/scan", "/merged_full.pcd"},
      {"/p//", "/p//merged_full.pcd"},
      {"/data/site1/scan//", "/data/site1/scan//merged_full.pcd"},
      {"scan", "scan/scan_full.pcd"},
      {"site/scan", "site/site_full.pcd"},
      {"/data/myscan", "/data/myscan/myscan_full.pcd"},
      {"/data/scan/scan", "/data/scan/scan_full.pcd"},
      {"/data/scan/x", "/data/scan/x/x_full.pcd"},
      {"/", "/merged_full.pcd"},
  };
  for (const auto& [scan_dir, output] : cases) {
    EXPECT_EQ(scan_paths::derived_output_path(scan_dir), output) << scan_dir;
  }
}

TEST(ScanPaths, FindsTheScanDirectoryOfAProject) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/data/site1", "/data/site1/scan"},
      {"/data/site1/", "/data/site1/scan"},
      {"/", "/scan"},
      {"/p//", "/p//scan"},
      {"site", "site/scan"},
  };
  for (const auto& [input_dir, scan_dir] : cases) {
    EXPECT_EQ(scan_paths::scan_dir_of_project(input_dir), scan_dir) << input_dir;
  }
  // Together, as the task uses them: a project directory with or without its slash.
  for (const std::string input_dir : {"/data/site1", "/data/site1/"}) {
    EXPECT_EQ(scan_paths::derived_output_path(scan_paths::scan_dir_of_project(input_dir)),
              "/data/site1/site1_full.pcd");
  }
  EXPECT_EQ(scan_paths::derived_output_path(scan_paths::scan_dir_of_project("/")),
            "/merged_full.pcd");
}

TEST(ScanPaths, OnlyEmptyAndNoneMeanNotGiven) {
  EXPECT_FALSE(scan_paths::is_given(""));
  EXPECT_FALSE(scan_paths::is_given("None"));
  for (const std::string value : {"none", "NONE", " None", "None ", "/None", "0", "."}) {
    EXPECT_TRUE(scan_paths::is_given(value)) << '"' << value << '"';
  }
}

}  // namespace
