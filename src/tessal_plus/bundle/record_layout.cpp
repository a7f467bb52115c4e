#include <stdexcept>

#include <fmt/format.h>

#include "tessal_plus/bundle/record_layout.hpp"

namespace tessal_plus::bundle {

RecordLayout RecordLayout::of(std::vector<RecordField> fields, std::size_t itemsize) {
  RecordLayout layout{std::move(fields), itemsize, h5::Type::compound(itemsize)};
  for (const auto& f : layout.fields) {
    if (f.offset + field_size(f.kind) > itemsize)
      throw std::invalid_argument(fmt::format("field '{}' at byte {} does not fit a {}-byte record", f.name, f.offset, itemsize));
    layout.type.insert(f.name.c_str(), f.offset, field_member_type(f.kind));
  }
  return layout;
}

std::vector<std::string> RecordLayout::names() const {
  std::vector<std::string> out;
  for (const auto& f : fields) out.push_back(f.name);
  return out;
}

}  // namespace tessal_plus::bundle
