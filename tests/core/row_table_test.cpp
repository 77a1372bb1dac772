#include "row_table.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace csv_mendle {
namespace {

void add_row(RowTable& table, const std::vector<std::string>& fields) {
  table.open_row();
  for (const auto& f : fields) {
    table.text() += f;
    table.close_field();
  }
}

std::vector<std::string> fields_of(RowView row) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < row.size(); ++i) out.emplace_back(row.field(i));
  return out;
}

TEST(row_table, committed_rows_read_back_in_order_and_discarded_rows_leave_no_trace) {
  RowTable table;
  add_row(table, {"a", "", "ccc"});
  table.commit_row();
  add_row(table, {"dropped", "x"});
  table.discard_row();
  add_row(table, {""});
  table.commit_row();
  add_row(table, {"left open"});  // an open row is not part of the table

  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(fields_of(table.row(0)), (std::vector<std::string>{"a", "", "ccc"}));
  EXPECT_EQ(fields_of(table.row(1)), (std::vector<std::string>{""}));
  EXPECT_EQ(table.row(0).text(), "accc");
}

TEST(row_table, padding_appends_empty_fields_and_merging_joins_the_surplus) {
  struct Case {
    std::vector<std::string> fields;
    std::size_t width;
    std::string separator;
    std::vector<std::string> padded, merged;
  };
  const std::vector<Case> cases = {
      {{"a"}, 3, ",", {"a", "", ""}, {"a"}},
      {{"a", "b", "c", "d", "e"}, 3, ",", {"a", "b", "c", "d", "e"}, {"a", "b", "c,d,e"}},
      {{"a", "b"}, 1, ";", {"a", "b"}, {"a;b"}},
      {{"", "", ""}, 2, "\xC3\x82", {"", "", ""}, {"", "\xC3\x82"}},
      {{"a", "b", "c"}, 2, "\xC3\x82", {"a", "b", "c"}, {"a", "b\xC3\x82" "c"}},
      {{"x", "y"}, 2, ",", {"x", "y"}, {"x", "y"}},
  };
  for (const auto& c : cases) {
    RowTable table;
    add_row(table, {"before"});
    table.commit_row();
    add_row(table, c.fields);
    table.pad_open_row(c.width);
    table.commit_row();
    add_row(table, c.fields);
    table.merge_open_row(c.width, c.separator);
    table.commit_row();
    EXPECT_EQ(fields_of(table.row(1)), c.padded);
    EXPECT_EQ(fields_of(table.row(2)), c.merged);
    EXPECT_EQ(fields_of(table.row(0)), (std::vector<std::string>{"before"}));
  }
}

// A parser may write a row's text and ends through room it asked for, after
// fields it closed one by one; the room survives growth, padding and the
// next rows.
TEST(row_table, fields_written_through_room_join_those_closed_one_by_one) {
  RowTable table;
  std::vector<std::vector<std::string>> want;
  for (std::size_t one_by_one = 0; one_by_one < 40; one_by_one += 7) {
    for (std::size_t through_room = 0; through_room < 70; through_room += 13) {
      std::vector<std::string> fields;
      table.open_row();
      for (std::size_t i = 0; i < one_by_one; ++i) {
        fields.push_back(std::to_string(i));
        table.text() += fields.back();
        table.close_field();
      }
      std::uint64_t* room = table.field_end_room(through_room + 5);  // more than it writes
      const std::size_t start = table.open_text_start();
      for (std::size_t i = 0; i < through_room; ++i) {
        fields.push_back("r" + std::to_string(i));
        // Written into room with slack, as the parser copies fields: the
        // text ends where the writer says, whatever it left behind that.
        const std::string& field = fields.back();
        table.append_text(field.size() + 9, [&](char* to) {
          std::memcpy(to, field.data(), field.size());
          std::memset(to + field.size(), '#', 9);
          return field.size();
        });
        room[i] = table.text().size() - start;
      }
      table.close_fields(through_room);
      ASSERT_EQ(table.open_field_count(), one_by_one + through_room);
      table.pad_open_row(fields.size() + 2);
      fields.resize(fields.size() + 2);
      table.commit_row();
      want.push_back(fields);
    }
  }
  ASSERT_EQ(table.size(), want.size());
  for (std::size_t r = 0; r < want.size(); ++r) EXPECT_EQ(fields_of(table.row(r)), want[r]) << r;
}

TEST(row_table, padding_beyond_any_memory_fails_as_bad_alloc_and_changes_nothing) {
  RowTable table;
  add_row(table, {"a", "b"});
  table.commit_row();
  add_row(table, {"c"});
  // 2**64 - 1 would otherwise be a length_error, 10**12 an 8 TB request that
  // overcommit may grant.
  for (const std::uint64_t width :
       {std::uint64_t{1'000'000'000'000}, UINT64_MAX, UINT64_MAX / 12}) {
    EXPECT_THROW(table.pad_open_row(width), std::bad_alloc) << width;
    EXPECT_EQ(table.open_field_count(), 1u);
  }
  table.pad_open_row(3);
  table.commit_row();
  EXPECT_EQ(fields_of(table.row(1)), (std::vector<std::string>{"c", "", ""}));
  EXPECT_EQ(fields_of(table.row(0)), (std::vector<std::string>{"a", "b"}));
}

TEST(row_table, clear_empties_the_table_for_reuse) {
  RowTable table;
  add_row(table, {"a", "b"});
  table.commit_row();
  table.clear();
  EXPECT_TRUE(table.empty());
  add_row(table, {"c"});
  table.commit_row();
  EXPECT_EQ(fields_of(table.row(0)), (std::vector<std::string>{"c"}));
}

TEST(row_table, shrinking_releases_large_spare_room_only_and_keeps_the_rows) {
  RowTable table;
  table.reserve(1000, 10000);
  table.text().reserve(100000);
  for (int i = 0; i < 10; ++i) {
    add_row(table, {"row", std::to_string(i)});
    table.commit_row();
  }
  const std::size_t reserved = table.memory_bytes();
  table.shrink_to_fit();
  const std::size_t shrunk = table.memory_bytes();
  EXPECT_LT(shrunk, reserved / 10);
  ASSERT_EQ(table.size(), 10u);
  EXPECT_EQ(fields_of(table.row(9)), (std::vector<std::string>{"row", "9"}));
  // Spare room of a sixteenth or less is not worth a copy.
  table.shrink_to_fit();
  EXPECT_EQ(table.memory_bytes(), shrunk);
}

}  // namespace
}  // namespace csv_mendle
