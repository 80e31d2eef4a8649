// Any bytes as a workflow instance value, a workflow history value and a
// kept signal value: each decoder refuses them as corrupt, or decodes a value
// that encodes back to exactly those bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "jobs/workflow.h"

using namespace ombrel::jobs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_round_trip(
      decode_workflow(bytes),
      [](const WorkflowInstance& instance) {
        auto encoded = encode_workflow(instance);
        FUZZ_CHECK(encoded.has_value());
        return *encoded;
      },
      bytes, WorkflowError::Kind::Corrupt);
  check_round_trip(
      decode_workflow_history(bytes),
      [](const WorkflowHistoryEntry& entry) {
        auto encoded = encode_workflow_history(entry);
        FUZZ_CHECK(encoded.has_value());
        return *encoded;
      },
      bytes, WorkflowError::Kind::Corrupt);
  check_round_trip(
      decode_kept_signal(bytes),
      [](const KeptSignal& kept) {
        auto encoded = encode_kept_signal(kept);
        FUZZ_CHECK(encoded.has_value());
        return *encoded;
      },
      bytes, WorkflowError::Kind::Corrupt);
  return 0;
}
