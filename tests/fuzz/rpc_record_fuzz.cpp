// Any bytes as an RPC request value and as an RPC response value: each
// decoder refuses them as corrupt, or decodes a record that encodes back to
// exactly those bytes (a request always with a method).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "messaging/rpc.h"

using namespace ombrel::messaging;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (auto request = decode_request(bytes)) {
    FUZZ_CHECK(!request->method.empty());
    auto encoded = encode_request(*request);
    FUZZ_CHECK(encoded && *encoded == bytes);
  } else {
    FUZZ_CHECK(request.error().kind() == RpcError::Kind::CorruptRecord);
  }
  if (auto response = decode_response(bytes)) {
    auto encoded = encode_response(*response);
    FUZZ_CHECK(encoded && *encoded == bytes);
  } else {
    FUZZ_CHECK(response.error().kind() == RpcError::Kind::CorruptRecord);
  }
  return 0;
}
