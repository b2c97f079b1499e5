#include <gtest/gtest.h>

#include "platform/foundation/ReserveData.h"

using foundation::Data;

// Large reservations also take a huge-page hint over the buffer's own pages; whether the kernel
// takes it up varies by machine, the bytes and the room must not.
TEST(ReserveData, MakesRoomAndKeepsTheBytes) {
  for (std::size_t capacity : {std::size_t{0}, std::size_t{10}, std::size_t{4096}, std::size_t{9} << 20}) {
    SCOPED_TRACE(capacity);
    Data data{1, 2, 3};
    foundation::reserveData(data, capacity);
    EXPECT_GE(data.capacity(), capacity);
    EXPECT_EQ(data, (Data{1, 2, 3}));
    const std::uint8_t* storage = data.data();
    data.resize(capacity > 3 ? capacity : 3, 7);
    EXPECT_EQ(data.data(), storage) << "filling the room reallocates nothing";
    EXPECT_EQ(data.back(), capacity > 3 ? 7 : 3);
  }
}
