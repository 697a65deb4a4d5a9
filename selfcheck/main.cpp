// The self-check executable: runs the built-in scenarios.
#include <iostream>

#include "selfcheck/runner.hpp"
#include "selfcheck/scenarios.hpp"

int main(int argc, char** argv) {
  return selfcheck::run_scenarios(argc, argv, tests::scenario_table(),
                                  std::cout, std::cerr);
}
