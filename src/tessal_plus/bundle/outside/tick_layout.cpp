#include "tessal_plus/bundle/outside/host.hpp"

namespace tessal {

TickLayout TickLayout::of(std::vector<TickField> fields, std::size_t itemsize) {
  TickLayout layout{{}, std::move(fields), h5::Type::compound(itemsize)};
  for (const auto& f : layout.fields) {
    layout.columns.push_back(f.name);
    layout.type.insert(f.name.c_str(), f.offset, field_member_type(f.kind));
  }
  return layout;
}

}  // namespace tessal
