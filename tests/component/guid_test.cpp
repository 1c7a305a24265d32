#include "qv/component/guid.hpp"

#include <gtest/gtest.h>

#include "qv/component/library_identity.hpp"
#include "qv/component/type_library.hpp"

namespace qv::component {
namespace {

TEST(Guid, ParsesAndFormats) {
  const auto guid = ParseGuid("{0fccb117-c20a-11d2-b1a5-00a02454227a}");
  ASSERT_TRUE(guid.has_value());
  EXPECT_EQ(guid->data1, 0x0FCCB117u);
  EXPECT_EQ(guid->data2, 0xC20Au);
  EXPECT_EQ(guid->data3, 0x11D2u);
  EXPECT_EQ(guid->data4[0], 0xB1);
  EXPECT_EQ(guid->data4[7], 0x7A);
  EXPECT_EQ(ToString(*guid), "{0FCCB117-C20A-11D2-B1A5-00A02454227A}");
  EXPECT_EQ(ParseGuid("0FCCB117-C20A-11D2-B1A5-00A02454227A"), guid);
  EXPECT_EQ(*guid, kIidQvSmtp);
}

TEST(Guid, RejectsMalformedText) {
  for (const char* text :
       {"", "{}", "0FCCB117-C20A-11D2-B1A5-00A02454227", "{0FCCB117-C20A-11D2-B1A5-00A02454227A",
        "0FCCB117-C20A-11D2-B1A5-00A02454227AX", "0FCCB117:C20A-11D2-B1A5-00A02454227A",
        "0FCCB117-C20A-11D2-B1A5-00A02454227G", "(0FCCB117-C20A-11D2-B1A5-00A02454227A)"}) {
    EXPECT_FALSE(ParseGuid(text).has_value()) << text;
  }
}

TEST(Guid, BytesInMemoryOrderAndIdentifierRecords) {
  const auto bytes = ToBytes(kIidQvSmtp);
  const std::array<std::uint8_t, 16> expected = {0x17, 0xB1, 0xCC, 0x0F, 0x0A, 0xC2, 0xD2, 0x11,
                                                 0xB1, 0xA5, 0x00, 0xA0, 0x24, 0x54, 0x22, 0x7A};
  EXPECT_EQ(bytes, expected);

  const auto record = InterfaceIdRecord(kIidQvSmtpEvents);
  EXPECT_EQ(record.size(), 20u);
  EXPECT_EQ(record[0], 16);
  EXPECT_EQ(record[1], 0);
  EXPECT_EQ(record[2], 0);
  EXPECT_EQ(record[3], 0);
  const auto event_bytes = ToBytes(kIidQvSmtpEvents);
  EXPECT_TRUE(std::equal(event_bytes.begin(), event_bytes.end(), record.begin() + 4));
  EXPECT_EQ(record[4], 0x18);
}

}  // namespace
}  // namespace qv::component
