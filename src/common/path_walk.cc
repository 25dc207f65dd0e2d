// The step-by-step walk of a configured path, and who may control each step.
#include "common/path_walk.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>

namespace fernd {
namespace {

// As many links as the kernel itself follows in one lookup before it gives up with ELOOP.
constexpr int links_max = 40;

// The longest target a link can have.
constexpr std::size_t link_target_max = 4096;

std::string user_text(uid_t uid) {
  const passwd* entry = ::getpwuid(uid);
  return entry != nullptr ? std::string(entry->pw_name) : "uid " + std::to_string(uid);
}

std::string group_text(gid_t gid) {
  const group* entry = ::getgrgid(gid);
  return entry != nullptr ? std::string(entry->gr_name) : "gid " + std::to_string(gid);
}

// Whether the group \a gid names no member but \a user: then write access for it is the user's
// alone (a group of the user's own, as most systems make one for every user).
bool group_is_users_own(gid_t gid, const std::string& user) {
  const group* entry = ::getgrgid(gid);
  if (entry == nullptr) {
    return false;
  }
  for (char** member = entry->gr_mem; *member != nullptr; ++member) {
    if (user != *member) {
      return false;
    }
  }
  return true;
}

// Becomes the one user besides root whom the rest of the walk trusts: the owner of \a status,
// which that user alone controls. False with the reason otherwise.
bool adopt_owner(const struct stat& status, std::optional<gid_t> writing_group,
                 const std::string& step, path_trust* trust, std::string* reason) {
  const passwd* entry = ::getpwuid(status.st_uid);
  if (entry == nullptr) {
    *reason = step + " belongs to uid " + std::to_string(status.st_uid) +
              ", which has no entry in the password database";
    return false;
  }
  std::string name = entry->pw_name;
  const gid_t primary = entry->pw_gid;
  if (primary == 0) {
    *reason = step + " belongs to " + name + ", whose primary group is root's";
    return false;
  }
  if (writing_group && (*writing_group != primary || !group_is_users_own(primary, name))) {
    *reason =
        step + " is writable by group " + group_text(*writing_group) + " beside its owner " + name;
    return false;
  }
  trust->user = status.st_uid;
  trust->group = primary;
  trust->user_name = std::move(name);
  return true;
}

// Whether \a trust lets the step \a status, whose path is \a step, decide where the path leads.
// A walk that may adopt a user does so at the first step that is not root's alone. The sticky bit
// keeps others from replacing the entries of a directory, which is all that a step on the way
// needs; the directory that the path names, when \a last, is itself what others would write
// into, so there it changes nothing. False with the reason.
bool step_allowed(const struct stat& status, const std::string& step, path_trust* trust,
                  std::string* reason, bool last) {
  const bool sticky = (status.st_mode & S_ISVTX) != 0 && !last;
  const bool shared_directory = S_ISDIR(status.st_mode) && !sticky;
  if (shared_directory && (status.st_mode & S_IWOTH) != 0) {
    *reason = step + " is writable by everyone";
    return false;
  }
  // Group root's members are as trusted as root.
  std::optional<gid_t> writing_group;
  if (shared_directory && (status.st_mode & S_IWGRP) != 0 && status.st_gid != 0) {
    writing_group = status.st_gid;
  }
  const uid_t owner = status.st_uid;
  if (owner == 0 && !writing_group) {
    return true;
  }
  if (trust->user) {
    const bool owner_trusted = owner == 0 || owner == *trust->user;
    const bool group_trusted = !writing_group || *writing_group == trust->group;
    if (owner_trusted && group_trusted) {
      return true;
    }
    if (!group_trusted) {
      *reason = step + " is writable by group " + group_text(*writing_group);
    } else if (trust->adopt) {
      *reason = step + " is controlled by " + user_text(owner) + ", where the path is " +
                trust->user_name + "'s";
    } else {
      const std::string controller = user_text(owner);
      *reason = step + " is controlled by " + controller;
      if (trust->suggest_remedy) {
        *reason += ": run fernd as root, or as " + controller;
      }
    }
    return false;
  }
  if (trust->adopt && owner != 0) {
    return adopt_owner(status, writing_group, step, trust, reason);
  }
  if (writing_group) {
    *reason = step + " is writable by group " + group_text(*writing_group);
  } else {
    *reason = step + " is controlled by " + user_text(owner);
  }
  return false;
}

// openat with O_PATH, never following a link at the last component, made again after EINTR.
unique_fd open_step(int directory, const char* name) {
  unique_fd fd;
  do {
    fd.reset(::openat(directory, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  } while (fd.fd < 0 && errno == EINTR);
  return fd;
}

// The path as the walk has met it so far, for messages: "" stands for "/".
std::string step_path(const std::string& where, std::string_view name) {
  std::string step = where;
  step += '/';
  step += name;
  return step;
}

// Whether \a directory is this process's own descriptor table in /proc, whose entries are the
// descriptors themselves rather than names of files.
bool is_own_descriptor_table(int directory, const std::string& where) {
  struct statfs file_system {};
  if (::fstatfs(directory, &file_system) != 0 || file_system.f_type != PROC_SUPER_MAGIC) {
    return false;
  }
  const std::string process = "/proc/" + std::to_string(::getpid());
  return where == process + "/fd" ||
         where == process + "/task/" + std::to_string(::gettid()) + "/fd";
}

// The descriptor that \a name (decimal digits) stands for, duplicated; none when it is no number.
unique_fd own_descriptor(std::string_view name) {
  if (name.empty() || name.size() > 9 || name.find_first_not_of("0123456789") != name.npos) {
    errno = ENOENT;
    return {};
  }
  int number = 0;
  for (const char digit : name) {
    number = number * 10 + (digit - '0');
  }
  return unique_fd{::fcntl(number, F_DUPFD_CLOEXEC, 0)};
}

// One walk in progress.
struct walk {
  path_trust* trust;
  path_found* found;
  bool may_be_missing;
  std::string rest;    // what is left of the path, from position \a at on
  std::size_t at = 0;  // the next component of \a rest begins here or after slashes
  std::string where;   // the path of \a current as walked, without links; "" for "/"
  unique_fd current;   // the directory the walk stands in (O_PATH)
  int links = 0;

  bool fail(std::string reason) {
    found->reason = std::move(reason);
    return false;
  }
  bool fail_errno(const std::string& step) { return fail(step + ": " + std::strerror(errno)); }
  // A failure of the last step of a path that no link led elsewhere: the caller names that path.
  bool fail_errno_last(const std::string& step, bool last) {
    return last && links == 0 ? fail(std::strerror(errno)) : fail_errno(step);
  }

  // Goes back to "/" and looks at it, as every absolute path and link target starts there.
  bool start_at_root() {
    do {
      current.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    } while (current.fd < 0 && errno == EINTR);
    where.clear();
    struct stat status {};
    if (current.fd < 0 || ::fstat(current.fd, &status) != 0) {
      return fail_errno("/");
    }
    return step_allowed(status, "/", trust, &found->reason, false);
  }

  // The next component, with \a last telling whether nothing but slashes follows it.
  std::string_view next_component(bool* last) {
    while (at < rest.size() && rest[at] == '/') {
      ++at;
    }
    const std::size_t end = std::min(rest.find('/', at), rest.size());
    const std::string_view name = std::string_view(rest).substr(at, end - at);
    at = end;
    *last = rest.find_first_not_of('/', end) == std::string::npos;
    return name;
  }

  // Replaces the link just met with its target \a target, read relative to the directory that
  // holds the link, or to "/".
  bool follow(std::string_view target) {
    if (++links > links_max) {
      errno = ELOOP;
      return false;
    }
    std::string expanded(target);
    expanded += '/';
    expanded.append(rest, at, std::string::npos);
    rest = std::move(expanded);
    at = 0;
    return target.empty() || target[0] != '/' || start_at_root();
  }

  bool step(std::string_view name, bool last);
  bool run(const char* path);
};

bool walk::step(std::string_view name, bool last) {
  const std::string step = step_path(where, name);
  const std::string name_text(name);
  unique_fd fd = open_step(current.fd, name_text.c_str());
  if (fd.fd < 0) {
    if (errno == ENOENT && last && may_be_missing) {
      found->directory = std::move(current);
      found->name = name_text;
      return true;
    }
    return fail_errno_last(step, last);
  }
  struct stat status {};
  if (::fstat(fd.fd, &status) != 0) {
    return fail_errno(step);
  }
  const bool last_object = last && !S_ISLNK(status.st_mode);
  if (S_ISLNK(status.st_mode) || S_ISDIR(status.st_mode)) {
    if (!(last_object && trust->last_step_anyones)) {
      if (!step_allowed(status, step, trust, &found->reason, last_object)) {
        return false;
      }
    } else if ((status.st_mode & S_IWOTH) != 0) {
      return fail(step + " is writable by everyone");
    }
  }
  if (S_ISLNK(status.st_mode)) {
    if (last && trust->own_descriptors && is_own_descriptor_table(current.fd, where)) {
      found->fd = own_descriptor(name);
      if (found->fd.fd < 0 || ::fstat(found->fd.fd, &found->status) != 0) {
        return fail_errno(step);
      }
      found->own_descriptor = true;
      return true;
    }
    std::array<char, link_target_max> target;  // NOLINT: filled by readlinkat
    const ssize_t length = ::readlinkat(fd.fd, "", target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) == target.size()) {
      if (length >= 0) {
        errno = length == 0 ? ENOENT : ENAMETOOLONG;  // as the kernel has it
      }
      return fail_errno(step);
    }
    if (!follow({target.data(), static_cast<std::size_t>(length)})) {
      return found->reason.empty() ? fail_errno(step) : false;
    }
    return true;
  }
  if (last) {
    found->fd = std::move(fd);
    found->status = status;
    found->directory = std::move(current);
    found->name = name_text;
    return true;
  }
  if (!S_ISDIR(status.st_mode)) {
    errno = ENOTDIR;
    return fail_errno(step);
  }
  current = std::move(fd);
  if (name == "..") {
    const std::size_t slash = where.rfind('/');
    where.erase(slash == std::string::npos ? 0 : slash);
  } else if (name != ".") {
    where = step;
  }
  return true;
}

bool walk::run(const char* path) {
  if (path[0] == '\0') {
    errno = ENOENT;
    return fail_errno("''");
  }
  if (path[0] != '/') {
    // The working directory's own path is walked too: whoever controls it controls the rest.
    std::array<char, link_target_max> directory;  // NOLINT: filled by getcwd
    if (::getcwd(directory.data(), directory.size()) == nullptr) {
      return fail_errno("the working directory");
    }
    rest = directory.data();
    rest += '/';
  }
  rest += path;
  if (!start_at_root()) {
    return false;
  }
  for (;;) {
    bool last = false;
    const std::string_view name = next_component(&last);
    if (name.empty()) {
      // The path names "/" itself.
      found->fd = std::move(current);
      return ::fstat(found->fd.fd, &found->status) == 0 || fail_errno("/");
    }
    if (!step(name, last)) {
      return false;
    }
    if (found->fd.fd >= 0 || !found->name.empty()) {
      return true;
    }
  }
}

}  // namespace

path_trust path_trust_own() {
  path_trust trust;
  const uid_t user = ::geteuid();
  if (user != 0) {
    trust.user = user;
    trust.group = ::getegid();
    trust.user_name = user_text(user);
  }
  return trust;
}

bool path_walk(const char* path, path_trust* trust, path_found* found, bool may_be_missing) {
  *found = path_found{};
  try {
    walk state{trust, found, may_be_missing, {}, 0, {}, {}, 0};
    return state.run(path);
  } catch (const std::bad_alloc&) {
    found->fd.reset();
    found->reason = "out of memory";
    return false;
  }
}

}  // namespace fernd
