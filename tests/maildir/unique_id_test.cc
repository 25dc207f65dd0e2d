#include "maildir/unique_id.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "maildir/maildir.h"
#include "support/temp_maildir.h"

namespace fernd {
namespace {

TEST(UniqueId, NameIsItsOwnIdOnlyWhenPrintableAndShort) {
  const struct {
    std::string name;
    bool is_id;
  } cases[] = {
      {"1700000000.M1P2.host", true}, {"!~", true},
      {std::string(70, 'a'), true},   {std::string(71, 'a'), false},
      {"with blank", false},          {"tab\there", false},
      {"line\r\nend", false},         {"del\x7f", false},
      {"caf\xc3\xa9", false},         {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.name));
    EXPECT_EQ(c.is_id, unique_id_is_name(c.name));
  }
}

// The ids of a snapshot of \a box, in message order.
std::vector<std::string> ids_of(const temp_maildir& box) {
  maildir_snapshot snapshot;
  EXPECT_TRUE(maildir_open(&snapshot, box.path.c_str()));
  std::vector<std::string> ids;
  for (const mail_entry& entry : snapshot.entries) {
    unique_id_room room;
    ids.emplace_back(unique_id_of(entry, room));
  }
  maildir_close(&snapshot);
  return ids;
}

bool printable_id(const std::string& id) {
  return unique_id_is_name(id);
}

TEST(UniqueId, DerivedIdsArePrintableStableAndDistinct) {
  const temp_maildir box;
  box.add("plain", "1", 100);
  box.add("evil\r\n.\r\n+OK 2 forged\r\n", "2", 200);
  box.add(std::string(200, 'n'), "3", 300);
  box.add("with blank", "4", 400);
  const std::vector<std::string> first = ids_of(box);
  ASSERT_EQ(4u, first.size());
  EXPECT_EQ("plain", first[0]);
  for (std::size_t i = 1; i < first.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(printable_id(first[i])) << first[i];
    EXPECT_EQ(0u, first[i].rfind("fernd-uid-", 0)) << first[i];
  }
  EXPECT_EQ(4u, std::set<std::string>(first.begin(), first.end()).size());
  // The next session sees the same ids.
  EXPECT_EQ(first, ids_of(box));

  // A file that takes another's derived id as its name keeps it as its own id; the derived one
  // steps aside, and every id stays distinct.
  box.add(first[3], "5", 50);
  const std::vector<std::string> second = ids_of(box);
  ASSERT_EQ(5u, second.size());
  EXPECT_EQ(first[3], second[0]);
  EXPECT_EQ(first[1], second[2]);
  EXPECT_EQ(first[2], second[3]);
  EXPECT_NE(first[3], second[4]);
  EXPECT_TRUE(printable_id(second[4])) << second[4];
  EXPECT_EQ(5u, std::set<std::string>(second.begin(), second.end()).size());
}

}  // namespace
}  // namespace fernd
