// Unique ids: file names that are valid ids as they stand, and ids derived from the others.
#include "maildir/unique_id.h"

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

namespace fernd {
namespace {

// What begins every derived id: with a name that nobody gives a message file, a derived id seldom
// has to step aside for a real name.
constexpr std::string_view derived_prefix = "fernd-uid-";
constexpr std::size_t hash_digits = 16;
static_assert(derived_prefix.size() + hash_digits <= unique_id_max);

// FNV-1a over the derivation's number and the name: stable across sessions and machines. It need
// not resist a chosen name; a collision only makes the later name take its next derivation.
std::uint64_t derived_hash(std::string_view name, std::uint8_t derivation) {
  constexpr std::uint64_t offset_basis = 14695981039346656037ULL;
  constexpr std::uint64_t prime = 1099511628211ULL;
  std::uint64_t hash = (offset_basis ^ derivation) * prime;
  for (const char byte : name) {
    hash = (hash ^ static_cast<unsigned char>(byte)) * prime;
  }
  return hash;
}

std::string_view derived_id(std::string_view name, std::uint8_t derivation, unique_id_room& room) {
  constexpr std::string_view digits = "0123456789abcdef";
  constexpr unsigned bits_per_digit = 4;
  std::size_t at = derived_prefix.copy(room.data(), derived_prefix.size());
  const std::uint64_t hash = derived_hash(name, derivation);
  for (std::size_t i = hash_digits; i-- > 0;) {
    room[at++] = digits[(hash >> (i * bits_per_digit)) & 0xfU];
  }
  return {room.data(), at};
}

std::string_view entry_name(const mail_entry& entry) {
  return {entry.name, entry.name_size};
}

}  // namespace

bool unique_id_is_name(std::string_view name) {
  if (name.empty() || name.size() > unique_id_max) {
    return false;
  }
  for (const char byte : name) {
    if (byte < '!' || byte > '~') {
      return false;
    }
  }
  return true;
}

void unique_id_assign(std::span<mail_entry> entries) {
  std::size_t derived_count = 0;
  for (mail_entry& entry : entries) {
    entry.unique_id = unique_id_is_name(entry_name(entry)) ? 0 : 1;
    derived_count += entry.unique_id;
  }
  if (derived_count == 0) {
    return;  // every name is its own id, and names are distinct
  }
  // Every id taken so far: first the names that are their own ids, then each derived one in the
  // snapshot's order, which gives the same ids to the same mailbox every time.
  std::unordered_set<std::string_view> taken;
  taken.reserve(entries.size());
  for (const mail_entry& entry : entries) {
    if (entry.unique_id == 0) {
      taken.insert(entry_name(entry));
    }
  }
  std::vector<std::string> derived;  // the set's views of derived ids point here
  derived.reserve(derived_count);
  for (mail_entry& entry : entries) {
    if (entry.unique_id == 0) {
      continue;
    }
    unique_id_room room;
    std::string_view id = derived_id(entry_name(entry), entry.unique_id, room);
    while (taken.contains(id) && entry.unique_id < std::numeric_limits<std::uint8_t>::max()) {
      ++entry.unique_id;
      id = derived_id(entry_name(entry), entry.unique_id, room);
    }
    derived.emplace_back(id);
    taken.insert(derived.back());
  }
}

std::string_view unique_id_of(const mail_entry& entry, unique_id_room& room) {
  if (entry.unique_id == 0) {
    return entry_name(entry);
  }
  return derived_id(entry_name(entry), entry.unique_id, room);
}

}  // namespace fernd
