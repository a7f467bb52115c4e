// The module's constants: record layouts, the tag table, the instrument
// classes and the Blosc settings.
#include "support.hpp"
#include "tessal_plus/bundle/constants.hpp"

using namespace testing_support;
using namespace std::string_literals;

namespace {

TEST(RecordLayouts, SizesNamesAndBloscSettings) {
  using namespace tessal_plus::bundle;
  EXPECT_EQ(EQUITIES_DTYPE().type.size(), 56u);
  EXPECT_EQ(DERIVATIVES_DTYPE().type.size(), 64u);
  EXPECT_EQ(INDEX_DTYPE().type.size(), 8u);
  EXPECT_EQ(DERIVATIVES_DTYPE().type.member_names(), DERIVATIVES_DTYPE().names());
  EXPECT_EQ(TAG_MAP()[2].first, "fund");
  EXPECT_EQ(TAG_MAP()[2].second.size(), 3u);
  EXPECT_EQ(host().blosc_opts(9, "blosc:lz4").cd_values, (std::vector<unsigned>{0, 0, 0, 0, 9, 1, 1}));
  EXPECT_THROW(host().blosc_opts(9, "blosc:nope"), std::invalid_argument);
}

}  // namespace
