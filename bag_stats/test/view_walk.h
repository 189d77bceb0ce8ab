#pragma once

#include <string>

#include "bag_stats/bag_analyzer.h"

namespace bagstat_test {

// The inventory of an openable bag as a walk over every message of a bag library view gives
// it: the bag opened read-only, one view over every connection from ros::TIME_MIN to
// ros::TIME_MAX, each message's topic counted, a topic's type that of the last connection the
// view lists for it, the times those the view reports (all 0 without messages). The reference
// the index-only analysis is held to; the bag library's exceptions pass.
bag_analyzer::BagAnalysisResult view_walk(const std::string& path);

// A record's inventory as text, one line per topic ("name<TAB>count<TAB>type") and a last line
// with the total and the three times to the last bit, so that two records compare field for
// field and a mismatch shows where.
std::string inventory(const bag_analyzer::BagAnalysisResult& r);

}  // namespace bagstat_test
