// The in-memory property store.
#include <gtest/gtest.h>

#include "qv/host/memory_property_bag.hpp"

namespace qv {
namespace {

TEST(MemoryPropertyBag, AMissingKeyGivesTheDefaultWithItsKind) {
  MemoryPropertyBag bag;
  EXPECT_EQ(bag.ReadProperty(u"Body", Variant(Integer{0})), Variant(Integer{0}));
  EXPECT_EQ(bag.ReadProperty(u"Body", Variant(u"0")), Variant(u"0"));
  EXPECT_TRUE(bag.empty());
}

TEST(MemoryPropertyBag, KeepsTheKindOfEveryValue) {
  const Variant values[] = {Variant(),          Variant::Null(), Variant(Integer{5}),
                            Variant(Long{5}),   Variant(5.0f),   Variant(5.0),
                            Variant(Date{5.0}), Variant(u"5"),   Variant(true)};
  for (const Variant& value : values) {
    MemoryPropertyBag bag;
    bag.WriteProperty(u"Body", value, Variant(u"unused default"));
    const Variant read = bag.ReadProperty(u"Body", Variant(Integer{0}));
    EXPECT_EQ(read.type(), value.type());
    EXPECT_EQ(read, value);
  }
}

TEST(MemoryPropertyBag, LeavesOutAValueEqualToItsDefaultAndReadsItBack) {
  MemoryPropertyBag bag;
  bag.WriteProperty(u"RemoteHost", Variant(u"0"), Variant(u"0"));
  EXPECT_EQ(bag.Find(u"RemoteHost"), nullptr);
  EXPECT_EQ(bag.ReadProperty(u"RemoteHost", Variant(u"0")), Variant(u"0"));
}

TEST(MemoryPropertyBag, ADefaultWrittenOverAnOlderValueDropsTheOlderValue) {
  MemoryPropertyBag bag;
  bag.WriteProperty(u"Status", Variant(Integer{4}), Variant(Integer{0}));
  bag.WriteProperty(u"Status", Variant(Integer{0}), Variant(Integer{0}));
  EXPECT_EQ(bag.ReadProperty(u"Status", Variant(Integer{0})), Variant(Integer{0}));
  EXPECT_TRUE(bag.empty());
}

TEST(MemoryPropertyBag, AnEqualValueOfAnotherKindIsNotADefault) {
  MemoryPropertyBag bag;
  bag.WriteProperty(u"Busy", Variant(false), Variant(Integer{0}));
  ASSERT_NE(bag.Find(u"Busy"), nullptr);
  EXPECT_EQ(bag.ReadProperty(u"Busy", Variant(Integer{0})), Variant(false));
}

TEST(MemoryPropertyBag, KeepingDefaultsStoresEveryValue) {
  MemoryPropertyBag bag(MemoryPropertyBag::Defaults::kKeep);
  bag.WriteProperty(u"RemoteHost", Variant(u"0"), Variant(u"0"));
  ASSERT_NE(bag.Find(u"RemoteHost"), nullptr);
  EXPECT_EQ(*bag.Find(u"RemoteHost"), Variant(u"0"));
}

TEST(MemoryPropertyBag, EntriesKeepTheOrderFirstWritten) {
  MemoryPropertyBag bag(MemoryPropertyBag::Defaults::kKeep);
  bag.WriteProperty(u"B", Variant(Integer{1}), Variant());
  bag.WriteProperty(u"A", Variant(Integer{2}), Variant());
  bag.WriteProperty(u"B", Variant(Integer{3}), Variant());
  const std::vector<MemoryPropertyBag::Entry> expected = {{u"B", Variant(Integer{3})},
                                                          {u"A", Variant(Integer{2})}};
  EXPECT_EQ(bag.entries(), expected);
}

TEST(MemoryPropertyBag, KeysMatchExactly) {
  MemoryPropertyBag bag;
  bag.Set(u"Status", Variant(Integer{4}));
  EXPECT_EQ(bag.ReadProperty(u"status", Variant(Integer{0})), Variant(Integer{0}));
  EXPECT_TRUE(bag.Erase(u"Status"));
  EXPECT_FALSE(bag.Erase(u"Status"));
}

}  // namespace
}  // namespace qv
