// Any bytes as one log record: the owning and the in-place decoders agree, a
// decoded record re-encodes to the bytes it came from, and operation payloads
// that parse re-encode to themselves.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/log_record.h"
#include "fuzz_check.h"

using namespace ombrel::engine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto owned = LogRecord::decode(bytes);
  auto view = decode_record_view(bytes);
  FUZZ_CHECK(owned.has_value() == view.has_value());
  if (view) {
    FUZZ_CHECK(owned->kind == view->kind && owned->tx_id == view->tx_id && owned->sequence == view->sequence &&
               owned->payload == view->payload);
    std::string framed;
    FUZZ_CHECK(encode_record_into(framed, view->kind, view->tx_id, view->sequence, view->payload).has_value());
    FUZZ_CHECK(bytes.substr(0, framed.size()) == framed);
  }
  if (auto put = parse_put_payload(bytes)) {
    auto encoded = encode_put(put->key, put->value);
    FUZZ_CHECK(encoded && *encoded == bytes);
  }
  if (auto key = parse_delete_payload(bytes)) {
    auto encoded = encode_delete(*key);
    FUZZ_CHECK(encoded && *encoded == bytes);
  }
  return 0;
}
