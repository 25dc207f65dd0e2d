#include "maildir/unique_id.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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
      {"1700000000.M1P2.host", true},
      {"!~", true},
      {std::string(70, 'a'), true},
      {std::string(71, 'a'), false},
      {"with blank", false},
      {"tab\there", false},
      {"line\r\nend", false},
      {"del\x7f", false},
      {"caf\xc3\xa9", false},
      {"", false},
      // The form of a derived id is never a name's own.
      {"fernd-uid-0123456789abcdef", false},
      {"fernd-uid-", false},
      {"fernd-uid", true},
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

// Whether \a id is what a client must accept: 1 to 70 printable characters without a blank.
bool printable_id(const std::string& id) {
  return !id.empty() && id.size() <= unique_id_max &&
         std::all_of(id.begin(), id.end(), [](char c) { return c >= '!' && c <= '~'; });
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
}

// The \a derivation-th derived id of \a name, as unique_id_of forms it.
std::string derivation_of(const std::string& name, std::uint16_t derivation) {
  mail_entry entry;
  entry.name = name.c_str();
  entry.name_size = static_cast<std::uint8_t>(name.size());
  entry.unique_id = derivation;
  unique_id_room room;
  return std::string(unique_id_of(entry, room));
}

TEST(UniqueId, NoWriterCanTakeAnotherMessagesId) {
  // A writer of new/ names files after the ids that another message's name derives: the file
  // named like its first derivation, or all of the first 256. The message keeps its id, and
  // every id of the listing stays distinct.
  const std::string odd = "with blank";
  const struct {
    const char* what;
    int crafted;  // files named after derivations 1, 2, ... of odd
  } cases[] = {{"a name equal to another entry's derived id", 1},
               {"256 names built from the derivations of one name", 256}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const temp_maildir box;
    box.add(odd, "the original", 100);
    const std::vector<std::string> before = ids_of(box);
    ASSERT_EQ(std::vector<std::string>{derivation_of(odd, 1)}, before);
    for (int i = 1; i <= c.crafted; ++i) {
      // Older than the original: each comes first and would take the id, were it its own.
      box.add(derivation_of(odd, static_cast<std::uint16_t>(i)), "crafted", 50);
    }
    const std::vector<std::string> after = ids_of(box);
    ASSERT_EQ(static_cast<std::size_t>(c.crafted) + 1, after.size());
    EXPECT_EQ(before[0], after.back());
    EXPECT_EQ(after.size(), std::set<std::string>(after.begin(), after.end()).size());
    for (const std::string& id : after) {
      EXPECT_EQ(26u, id.size()) << id;
      EXPECT_EQ(0u, id.rfind("fernd-uid-", 0)) << id;
    }
  }
}

}  // namespace
}  // namespace fernd
