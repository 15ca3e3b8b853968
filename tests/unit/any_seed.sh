#!/usr/bin/env bash
# The simulated suite under a schedule seed that changes with every run (VANTORIX_SEED when set, to replay one),
# printed before the run and again, with the command that replays it, when the run fails.
set -u
suite="$1"
seed=${VANTORIX_SEED:-$(( $(date +%s%N) % 4294967296 ))}
replay="VANTORIX_SEED=$seed ctest --test-dir build -R '^SimulatedSuiteUnderTheSeedOfThisRun\$' --output-on-failure"
echo "schedule seed of this run: $seed"
VANTORIX_SEED=$seed "$suite" --gtest_brief=1 --gtest_filter='-*OutageScenario*:OutageStoryReplay*'
status=$?
[ "$status" -eq 0 ] || echo "FAILED under schedule seed $seed; replay: $replay"
exit "$status"
