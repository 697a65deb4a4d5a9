#include "selfcheck/fixture.hpp"

#include <string>

namespace tests {

zun_package::CycleSample sample(std::uint32_t phase,
                                zun_package::ProfileStepKind kind,
                                std::string_view kernel, std::uint32_t start,
                                std::uint32_t end) {
  const std::string number = std::to_string(phase);
  zun_package::CycleSample result;
  result.step.local_index = phase;
  result.step.phase = phase;
  result.step.epoch = 0;
  result.step.operation = "operation " + number;
  result.step.kind = kind;
  result.step.kernel = std::string(kernel);
  result.step.metadata = {zun_package::ProfileMetadata{"block", number}};
  result.start_cycle = start;
  result.end_cycle = end;
  return result;
}

}  // namespace tests
