#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core_support.hpp"
#include "value/map_hash.hpp"
#include "value/value.hpp"

namespace pelmo {
namespace {

using testing::CountedObjects;
using testing::int_at;

std::string key_for(int i) { return "name_" + std::to_string(i); }

TEST(HashName, MatchesSipHash13WithTerminatorByte) {
  struct Vector {
    std::string_view bytes;
    std::uint64_t hash;
  };
  // Lengths 0, 1, 2, 7 and 8 put the 0xFF terminator at every edge of a word.
  const Vector vectors[] = {
      {"", 3476900567878811119ULL},         {"a", 8186225505942432243ULL},
      {"ab", 7391266126405785627ULL},       {"abcdefg", 2492161047327640297ULL},
      {"abcdefgh", 6689927370435554326ULL}, {"hello world, this is long", 13571961601724858674ULL},
  };
  for (const Vector& vector : vectors) {
    EXPECT_EQ(hash_name(vector.bytes, HashSeed{0, 0}), vector.hash) << '"' << vector.bytes << '"';
  }
  // A view with no storage at all is the same empty name.
  EXPECT_EQ(hash_name(std::string_view(), HashSeed{0, 0}), 3476900567878811119ULL);
  EXPECT_NE(hash_name("a", HashSeed{1, 0}), hash_name("a", HashSeed{0, 0}));
  EXPECT_NE(hash_name("a", HashSeed{0, 1}), hash_name("a", HashSeed{0, 0}));
}

TEST(MapSeed, AdvancesFirstWordPerMapAndDiffersBetweenThreads) {
  Context first;
  Context second;
  EXPECT_EQ(second.seed().k0, first.seed().k0 + 1);
  EXPECT_EQ(second.seed().k1, first.seed().k1);

  HashSeed other{};
  std::thread([&other] { other = Context().seed(); }).join();
  EXPECT_FALSE(other.k0 == first.seed().k0 && other.k1 == first.seed().k1);
}

TEST(Context, KeysCompareByteForByte) {
  Context context;
  context.insert("", Value::integer(1));
  context.insert(std::string("a\0b", 3), Value::integer(2));
  context.insert("a", Value::integer(3));
  context.insert("\xff\xfe", Value::integer(4));
  EXPECT_EQ(context.size(), 4u);
  EXPECT_EQ(int_at(context, ""), 1);
  EXPECT_EQ(context.get(std::string_view("a\0b", 3))->as_int(), 2);
  EXPECT_EQ(int_at(context, "a"), 3);
  EXPECT_EQ(int_at(context, "\xff\xfe"), 4);
  EXPECT_EQ(context.get("b"), nullptr);
  EXPECT_EQ(context.get(std::string_view("a\0", 2)), nullptr);
}

TEST(Context, InsertReplacesAndReleasesOld) {
  CountedObjects objects;
  const ObjectHandle object = objects.make();
  Context context;
  context.insert("x", Value::object(object.clone()));
  context.insert("y", Value::integer(2));
  EXPECT_EQ(objects.references(object), 2);

  context.insert("x", Value::integer(1));
  EXPECT_EQ(objects.references(object), 1);
  ASSERT_EQ(context.size(), 2u);
  EXPECT_EQ(context.begin()->key, "x");  // a replaced key keeps its place
  EXPECT_EQ(context.begin()->value.as_int(), 1);
}

TEST(Context, FindsEveryKeyWhileGrowingPastDirectLimit) {
  Context context;
  for (int i = 0; i < 1000; ++i) {
    context.insert(key_for(i), Value::integer(i));
    // Each insert may switch regime or regrow the index; all earlier keys must survive it.
    for (int j = 0; j <= i; j += (i < 40 ? 1 : 37))
      ASSERT_EQ(int_at(context, key_for(j).c_str()), j);
  }
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(int_at(context, key_for(i).c_str()), i);
  EXPECT_EQ(context.get("name_1000"), nullptr);
  EXPECT_EQ(context.get(""), nullptr);

  for (int i = 0; i < 1000; i += 3) context.insert(key_for(i), Value::integer(-i));
  EXPECT_EQ(context.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(int_at(context, key_for(i).c_str()), i % 3 ? i : -i);
}

// Covers the three ways in: into an empty map with the same seed (taken
// whole), same seed with entries (stored hashes reused) and different seeds.
TEST(Context, MergeMovesEverythingAndIncomingWins) {
  for (int size : {3, 40}) {
    Context base;
    for (int i = 0; i < size; ++i) base.insert(key_for(i), Value::integer(i));

    Context empty_same_seed = Context().clone();
    Context incoming_same_seed = empty_same_seed.clone();
    for (int i = 0; i < size; ++i) incoming_same_seed.insert(key_for(i), Value::integer(i));
    empty_same_seed.merge_from(std::move(incoming_same_seed));
    EXPECT_EQ(empty_same_seed.size(), static_cast<std::size_t>(size));

    Context same_seed = base.clone();
    Context other_seed;
    for (int i = size / 2; i < size + size / 2; ++i) {
      same_seed.insert(key_for(i), Value::integer(100 + i));
      other_seed.insert(key_for(i), Value::integer(200 + i));
    }
    Context with_same = base.clone();
    with_same.merge_from(std::move(same_seed));
    base.merge_from(std::move(other_seed));
    EXPECT_TRUE(other_seed.empty());

    for (int i = 0; i < size + size / 2; ++i) {
      const std::string key = key_for(i);
      EXPECT_EQ(int_at(empty_same_seed, key.c_str()), i < size ? i : -1);
      EXPECT_EQ(int_at(with_same, key.c_str()), i < size / 2 ? i : 100 + i);
      EXPECT_EQ(int_at(base, key.c_str()), i < size / 2 ? i : 200 + i);
    }
    EXPECT_EQ(base.size(), static_cast<std::size_t>(size + size / 2));
    EXPECT_EQ(with_same.size(), base.size());
  }
}

TEST(Context, CloneKeepsSeedAndOrderAndIsIndependent) {
  Context source;
  for (int i = 0; i < 20; ++i) source.insert(key_for(19 - i), Value::integer(i));
  Context copy = source.clone();
  EXPECT_EQ(copy.seed().k0, source.seed().k0);
  EXPECT_EQ(copy.seed().k1, source.seed().k1);

  std::vector<std::string> source_keys;
  std::vector<std::string> copy_keys;
  for (const auto& entry : source) source_keys.push_back(entry.key);
  for (const auto& entry : copy) copy_keys.push_back(entry.key);
  EXPECT_EQ(copy_keys, source_keys);

  copy.insert(key_for(0), Value::integer(-1));
  copy.insert("only_in_copy", Value::integer(0));
  EXPECT_EQ(int_at(source, key_for(0).c_str()), 19);
  EXPECT_EQ(source.get("only_in_copy"), nullptr);
  EXPECT_EQ(int_at(copy, key_for(5).c_str()), 14);
}

TEST(Value, KindOrdinalsAreFixed) {
  CountedObjects objects;
  Context empty;
  EXPECT_EQ(static_cast<int>(Value::integer(1).kind()), 0);
  EXPECT_EQ(static_cast<int>(Value::real(1.5).kind()), 1);
  EXPECT_EQ(static_cast<int>(Value::text("t").kind()), 2);
  EXPECT_EQ(static_cast<int>(Value::float_list({1.0}).kind()), 3);
  EXPECT_EQ(static_cast<int>(Value::int_list({1}).kind()), 4);
  EXPECT_EQ(static_cast<int>(Value::map(std::move(empty)).kind()), 5);
  EXPECT_EQ(static_cast<int>(Value::object(objects.make()).kind()), 6);
  EXPECT_EQ(static_cast<int>(Value::none().kind()), 7);
  EXPECT_EQ(Value().kind(), ValueKind::None);
}

TEST(Value, CloneIsDeepAcrossNestedMaps) {
  Context inner;
  inner.insert("list", Value::int_list({1, 2, 3}));
  inner.insert("text", Value::text(std::string("a\0b", 3)));
  Context outer;
  outer.insert("inner", Value::map(std::move(inner)));
  outer.insert("floats", Value::float_list({0.5, -2.0}));
  const Value source = Value::map(std::move(outer));

  Value copy = clone(source);
  Context& copy_inner = copy.as_map_mut().get_mut("inner")->as_map_mut();
  copy_inner.insert("list", Value::int_list({9}));
  copy_inner.insert("added", Value::real(1.0));

  const Context& source_inner = source.as_map().get("inner")->as_map();
  EXPECT_EQ(source_inner.get("list")->as_int_list(), (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_EQ(source_inner.get("added"), nullptr);
  EXPECT_EQ(source_inner.get("text")->as_str(), std::string("a\0b", 3));
  EXPECT_EQ(copy_inner.get("text")->as_str(), std::string("a\0b", 3));
  EXPECT_EQ(copy.as_map().get("floats")->as_float_list(), (std::vector<double>{0.5, -2.0}));
}

TEST(Value, CloneOfObjectSharesIt) {
  CountedObjects objects;
  Value source = Value::object(objects.make());
  {
    Value copy = clone(source);
    EXPECT_EQ(copy.as_object().get(), source.as_object().get());
    EXPECT_EQ(objects.references(source.as_object()), 2);
  }
  EXPECT_EQ(objects.references(source.as_object()), 1);
}

}  // namespace
}  // namespace pelmo
