#pragma once
// Packed little-endian record layouts: the module's minute-bar records and
// the host's tick records are described alike and written by one converter.
#include <cstddef>
#include <string>
#include <vector>

#include "h5/h5.hpp"

namespace tessal_plus::bundle {

// The tick record layout of H5TicksLoader (tessal_mod_palomar_data), given
// at run time: the module writes and reads exactly the layout described
// here, whatever its fields, scales and size. Every numeric kind a
// little-endian layout can hold:
enum class FieldKind { i32, i64, f64, i8, i16, u8, u16, u32, u64, f32 };
// The HDF5 type of a field of that kind (little-endian).
inline hid_t field_member_type(FieldKind k) noexcept {
  switch (k) {
    case FieldKind::i8: return H5T_STD_I8LE;
    case FieldKind::i16: return H5T_STD_I16LE;
    case FieldKind::i32: return H5T_STD_I32LE;
    case FieldKind::i64: return H5T_STD_I64LE;
    case FieldKind::u8: return H5T_STD_U8LE;
    case FieldKind::u16: return H5T_STD_U16LE;
    case FieldKind::u32: return H5T_STD_U32LE;
    case FieldKind::u64: return H5T_STD_U64LE;
    case FieldKind::f32: return H5T_IEEE_F32LE;
    case FieldKind::f64: return H5T_IEEE_F64LE;
  }
  return H5T_IEEE_F64LE;
}
// A field size in bytes.
constexpr std::size_t field_size(FieldKind k) noexcept {
  switch (k) {
    case FieldKind::i8:
    case FieldKind::u8: return 1;
    case FieldKind::i16:
    case FieldKind::u16: return 2;
    case FieldKind::i32:
    case FieldKind::u32:
    case FieldKind::f32: return 4;
    case FieldKind::i64:
    case FieldKind::u64:
    case FieldKind::f64: return 8;
  }
  return 8;
}

// One field of a packed little-endian record. The module's minute-bar
// layouts and the host's tick layout are described alike, and written by
// one converter: the service's column of the field's name times `scale`,
// integer fields rounded half away from zero.
struct RecordField {
  std::string name;
  FieldKind kind = FieldKind::f64;
  double scale = 1;         // tick prices: x10000 (the loader's FIELDS' third element)
  std::size_t offset = 0;   // position of the field in the packed record
};
// A record layout: its fields, its size and its HDF5 compound type with
// the same member names (a host's type may hold members beyond the fields).
struct RecordLayout {
  std::vector<RecordField> fields;
  std::size_t itemsize = 0;
  h5::Type type;
  // The type made from `fields`; throws std::invalid_argument for a field
  // that does not lie within `itemsize` bytes.
  static RecordLayout of(std::vector<RecordField> fields, std::size_t itemsize);
  std::vector<std::string> names() const;
};

}  // namespace tessal_plus::bundle
