// Unique ids: file names that are valid ids as they stand, and ids derived from the others.
#include "maildir/unique_id.h"

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

namespace fernd {
namespace {

// What begins every derived id. No name is its own id when it begins so: every id of that form
// is a derivation, and a file named like another message's derived id cannot take it.
constexpr std::string_view derived_prefix = "fernd-uid-";
constexpr std::size_t hash_digits = 16;
static_assert(derived_prefix.size() + 2 * hash_digits + 1 <= unique_id_max);

// The derivation number of an entry for which every derivation was taken (it takes, for one name,
// as many other names crafted to collide with its derivations): its id then also names where the
// entry's name lies, which no other entry shares.
constexpr std::uint16_t derivations_exhausted = std::numeric_limits<std::uint16_t>::max();

// FNV-1a over the derivation's number and the name: stable across sessions and machines. It need
// not resist a chosen name; a collision only makes the later name take its next derivation. For
// one name, distinct numbers give distinct hashes (each step is a bijection of the state), so
// trying numbers one after another meets a free id before it has tried one more than the ids
// taken.
std::uint64_t derived_hash(std::string_view name, std::uint16_t derivation) {
  constexpr std::uint64_t offset_basis = 14695981039346656037ULL;
  constexpr std::uint64_t prime = 1099511628211ULL;
  std::uint64_t hash = (offset_basis ^ derivation) * prime;
  for (const char byte : name) {
    hash = (hash ^ static_cast<unsigned char>(byte)) * prime;
  }
  return hash;
}

// Appends the 16 hexadecimal digits of \a value to \a room at \a at; returns the new end.
std::size_t append_hex(std::uint64_t value, unique_id_room& room, std::size_t at) {
  constexpr std::string_view digits = "0123456789abcdef";
  constexpr unsigned bits_per_digit = 4;
  for (std::size_t i = hash_digits; i-- > 0;) {
    room[at++] = digits[(value >> (i * bits_per_digit)) & 0xfU];
  }
  return at;
}

std::string_view entry_name(const mail_entry& entry) {
  return {entry.name, entry.name_size};
}

std::string_view derived_id(const mail_entry& entry, std::uint16_t derivation,
                            unique_id_room& room) {
  std::size_t at = derived_prefix.copy(room.data(), derived_prefix.size());
  at = append_hex(derived_hash(entry_name(entry), derivation), room, at);
  if (derivation == derivations_exhausted) {
    room[at++] = '-';
    at = append_hex(reinterpret_cast<std::uintptr_t>(entry.name), room, at);
  }
  return {room.data(), at};
}

}  // namespace

bool unique_id_is_name(std::string_view name) {
  if (name.empty() || name.size() > unique_id_max || name.starts_with(derived_prefix)) {
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
  // The derived ids taken so far, in the snapshot's order, which gives the same ids to the same
  // mailbox every time. No name that is its own id has the derived form, so only derived ids can
  // meet.
  std::unordered_set<std::string_view> taken;
  taken.reserve(derived_count);
  std::vector<std::string> derived;  // the set's views point here
  derived.reserve(derived_count);
  for (mail_entry& entry : entries) {
    if (entry.unique_id == 0) {
      continue;
    }
    unique_id_room room;
    std::string_view id = derived_id(entry, entry.unique_id, room);
    while (taken.contains(id)) {
      ++entry.unique_id;
      id = derived_id(entry, entry.unique_id, room);
    }
    derived.emplace_back(id);
    taken.insert(derived.back());
  }
}

std::string_view unique_id_of(const mail_entry& entry, unique_id_room& room) {
  if (entry.unique_id == 0) {
    return entry_name(entry);
  }
  return derived_id(entry, entry.unique_id, room);
}

}  // namespace fernd
