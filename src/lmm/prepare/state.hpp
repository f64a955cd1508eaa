// The state of a prepared design as bytes: what pickling a core stores and what
// restoring one reads. It holds the products, the shift they were accumulated with,
// the fingerprints of the rows (or that it has none: a design built from products)
// and the weights' constant, never the rows; the classes are formed again
// from the products on reading (deterministically, so evaluations give the same bits
// as the original's).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "lmm/prepare/data.hpp"

namespace qk {

// Format of the bytes; any change of layout or meaning of a field changes it.
inline constexpr std::uint32_t kStateFormat = 4;

// The state, tagged with the format and with `version`, the library's version.
std::string encode_state(const LmmData& data, std::string_view version);

// The design back from encode_state's bytes. Bytes of another format or another
// version are refused (the meaning of the products may differ between versions), as
// are bytes that are not a whole, consistent state; the text says which.
std::variant<std::unique_ptr<LmmData>, std::string> decode_state(std::string_view bytes,
                                                                 std::string_view version);

}  // namespace qk
