// Sizes in messages: grouped numbers below 100 KiB, binary units rounded up
// to two decimals above.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "log/FormatSize.h"

using km::core::formatSize;

TEST(FormatSize, FollowsItsTableOverTheWholeRange) {
  struct Row {
    int64_t bytes;
    std::string text;
  };
  const Row rows[] = {
      {0, "0"},
      {1, "1"},
      {-1, "-1"},
      {4'096, "4,096"},
      {-4'096, "-4,096"},
      {102'399, "102,399"},
      {-102'399, "-102,399"},
      {102'400, "100KiB"},
      {-102'400, "-100KiB"},
      {1'048'571, "1024KiB"},  // 1023.995 KiB rounds up without changing the unit
      {1'048'576, "1MiB"},
      {1'048'577, "1.01MiB"},  // rounded up
      {1'572'864, "1.5MiB"},
      {8'388'608, "8MiB"},
      {123'456'789, "117.74MiB"},
      {199'229'440, "190MiB"},
      {429'496'720, "409.6MiB"},
      {858'993'440, "819.2MiB"},
      {1'073'741'823, "1024MiB"},
      {1'073'741'824, "1GiB"},
      {-3'221'225'472, "-3GiB"},
      {4'402'341'478, "4.1GiB"},
      {1'099'511'627'776, "1TiB"},
      {1'125'899'906'842'624, "1PiB"},
      {1'152'921'504'606'846'976, "1EiB"},
      {std::numeric_limits<int64_t>::max(), "8EiB"},
      {std::numeric_limits<int64_t>::min(), "-8EiB"},
  };
  for (const Row& row : rows) EXPECT_EQ(formatSize(row.bytes), row.text) << row.bytes;
}
