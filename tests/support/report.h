// Rows for the report of what the test run tried and what held. Each test
// that contributes writes one Markdown table row to a file of its own in the
// directory named by TELDO_REPORT_DIR (nothing is written when it is unset);
// scripts/update-report.sh gathers the rows into a tree's report.md, and
// with --docs the x64 one into docs/building-and-testing.md.
#pragma once

#include <string>

namespace teldo::test {

void report_row(const std::string& key, const std::string& what, const std::string& amount,
                const std::string& outcome);

}  // namespace teldo::test
