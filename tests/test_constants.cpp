// The module's constants: record layouts, the tag table, the instrument
// classes and the Blosc settings.
#include "support.hpp"
#include "tessal_plus/bundle/constants.hpp"

using namespace testing_support;
using namespace std::string_literals;

namespace {

TEST(RecordLayouts, TypesCarryTheFieldNamesAndBloscSettingsTheirCodes) {
  using namespace tessal_plus::bundle;
  for (const auto* layout : {&EQUITIES_DTYPE(), &DERIVATIVES_DTYPE(), &INDEX_DTYPE()}) {
    EXPECT_EQ(layout->type.member_names(), layout->names());
    EXPECT_EQ(layout->type.size(), layout->itemsize);
  }
  EXPECT_EQ(host().blosc_opts(9, "blosc:lz4").cd_values, (std::vector<unsigned>{0, 0, 0, 0, 9, 1, 1}));
  EXPECT_THROW(host().blosc_opts(9, "blosc:nope"), std::invalid_argument);
}

}  // namespace
