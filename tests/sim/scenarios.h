// The scenario files of tests/scenarios, built into the test programs.
#pragma once

struct Scenario {
  const char* name;  // the file's name without ".path"
  const char* text;  // its whole text
};

extern const Scenario SCENARIOS[];
extern const int SCENARIO_COUNT;
