// The large-folder suite's outputs: the table on standard output, the goals checked against the figures, the
// JSON record of a run, and the data file of the plot.
#pragma once

#include "Floors.h"
#include "FolderRun.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace vantorix::bench {

struct SizeResult {
    FolderFigures folder;
    FloorFigures floors;
};

struct GoalCheck {
    std::string goal;
    std::string measured;
    bool met = false;
};

// Figures derived from one size's run, named as in the table and the JSON.
nlohmann::json derivedFigures(const SizeResult& result);

void printTable(const std::vector<SizeResult>& results, bool throughService);
std::vector<GoalCheck> checkGoals(const std::vector<SizeResult>& results, bool throughService);
void printGoals(const std::vector<GoalCheck>& goals);
// `machine` holds the date, the CPU, the load and the commit; the figures of every size and the goals are added.
nlohmann::json runRecord(nlohmann::json machine, const std::vector<SizeResult>& results, const std::vector<GoalCheck>& goals);
// Columns: entries, time to all badges, bare pass, client pass, batches of one, CPU at rest (%), its floor (%).
void writePlotData(const std::string& path, const std::vector<SizeResult>& results);

}  // namespace vantorix::bench
