// Recording what the secret wipes overwrite, for tests that a password is wiped where it lay.
#ifndef FERND_TESTS_SUPPORT_WIPE_RECORD_H_
#define FERND_TESTS_SUPPORT_WIPE_RECORD_H_

#include <string>
#include <string_view>
#include <vector>

namespace fernd {

/// While it lives, every region that secret_wipe overwrites is copied into \a regions first, as it
/// was before the wipe. Not nestable.
struct wipe_record {
  std::vector<std::string> regions;

  wipe_record();
  ~wipe_record();
  wipe_record(const wipe_record&) = delete;
  wipe_record& operator=(const wipe_record&) = delete;

  /// Whether any recorded region held \a text.
  bool any_held(std::string_view text) const;
};

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_WIPE_RECORD_H_
