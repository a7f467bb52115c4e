#pragma once
// Reading and hand-building minute-bar files in tests.
#include <string>
#include <vector>

#include "h5/h5.hpp"
#include "tessal_plus/bundle/constants.hpp"

namespace testing_support {

struct MinuteFile {
  std::vector<tessal_plus::bundle::IndexRecord> index;
  std::vector<std::int64_t> datetimes;
  std::vector<double> close;
};

inline MinuteFile read_minute_file(const std::string& path) {
  using namespace tessal_plus::bundle;
  MinuteFile m;
  h5::File f = h5::File::open(path, h5::Mode::read);
  const h5::Dataset index = f.open_dataset("index");
  m.index.resize(index.size());
  index.read(m.index.data(), INDEX_DTYPE().type.get());
  const h5::Dataset data = f.open_dataset("data");
  const h5::Type dt = h5::Type::column("datetime", H5T_NATIVE_INT64);
  const h5::Type close = h5::Type::column("close", H5T_NATIVE_DOUBLE);
  m.datetimes.resize(data.size());
  m.close.resize(data.size());
  data.read(m.datetimes.data(), dt.get());
  data.read(m.close.data(), close.get());
  return m;
}

// Writes a file with the writer's storage settings; an empty `datetimes`
// with `with_data` false leaves `data` out, `with_index` false leaves `index` out.
inline void write_minute_file(const std::string& path, const std::vector<tessal_plus::bundle::IndexRecord>& index,
                              const std::vector<std::int64_t>& datetimes, bool with_index = true, bool with_data = true) {
  using namespace tessal_plus::bundle;
  std::vector<EquitiesBar> rows;
  for (auto d : datetimes) rows.push_back(EquitiesBar{d, 1, 1, 1, 1, 1, 1});
  h5::File f = h5::File::open(path, h5::Mode::create);
  const h5::DatasetOptions opts{true, 64, 9, std::nullopt};
  if (with_data) f.create_dataset("data", EQUITIES_DTYPE().type, rows.data(), rows.size(), opts);
  if (with_index) f.create_dataset("index", INDEX_DTYPE().type, index.data(), index.size(), opts);
  f.close();
}

}  // namespace testing_support
