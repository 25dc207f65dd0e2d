#include "credentials/netrc.h"

#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "credentials/password.h"
#include "support/alloc_failure.h"
#include "support/temp_maildir.h"

namespace fernd {
namespace {

// A fresh temporary directory, removed with everything in it.
struct temp_dir {
  std::string path;

  temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fernd-netrc-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
    }
    path = pattern;
  }
  ~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  std::string file(const char* name) const { return path + "/" + name; }
};

// Sets HOME (or unsets it, for none) for the life of the object.
struct scoped_home {
  std::optional<std::string> saved;

  explicit scoped_home(const std::optional<std::string>& value) {
    if (const char* old = std::getenv("HOME")) {
      saved = old;
    }
    if (value.has_value()) {
      ::setenv("HOME", value->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }
  ~scoped_home() {
    if (saved.has_value()) {
      ::setenv("HOME", saved->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }
  scoped_home(const scoped_home&) = delete;
  scoped_home& operator=(const scoped_home&) = delete;
};

struct lookup_case {
  const char* name;
  std::string text;
  const char* host;
  const char* user;
  bool found;                           ///< netrc_find gives an entry
  std::optional<std::string> password;  ///< that entry's password
  std::size_t entries;                  ///< how many entries the file yields
};

const std::string long_prefix = "machine h login alice password ";
// The first read of a line takes 511 characters: fill the first piece up to that point.
const std::string fills_first_piece(511 - long_prefix.size(), 'A');

std::vector<lookup_case> lookup_cases() {
  return {
      {"one line", "machine mail.example login alice password s3cret\n", "mail.example", "alice",
       true, "s3cret", 1},
      {"one token per line", "machine\nmail.example\nlogin\nalice\npassword\ns3cret\n",
       "mail.example", "alice", true, "s3cret", 1},
      {"blank and comment lines between keyword and value",
       "machine\n\n# a comment\nmail.example\nlogin\n   \n\t# another\nalice\npassword\n\n"
       "#password wrong\n\ts3cret\n",
       "mail.example", "alice", true, "s3cret", 1},
      {"no final line feed", "machine h login alice password p", "h", "alice", true, "p", 1},
      {"CR LF lines and tabs", "machine\th\r\nlogin alice\r\n\tpassword p\r\n", "h", "alice", true,
       "p", 1},
      {"two entries for the same host and user: the first answers",
       "machine h login alice password first\nmachine h login alice password second\n", "h",
       "alice", true, "first", 2},
      {"the first match without a password decides the file",
       "machine h login alice\nmachine h login alice password later\n", "h", "alice", true,
       std::nullopt, 2},
      {"a later password replaces an earlier one",
       "machine h login alice password one password two\n", "h", "alice", true, "two", 1},
      {"a later login replaces an earlier one", "machine h login bob login alice password p\n", "h",
       "alice", true, "p", 1},
      {"other host", "machine other login alice password p\n", "h", "alice", false, std::nullopt,
       1},
      {"host compared with case", "machine Mail.Example login alice password p\n", "mail.example",
       "alice", false, std::nullopt, 1},
      {"different login", "machine h login bob password p\n", "h", "alice", false, std::nullopt, 1},
      {"user compared with case", "machine h login Alice password p\n", "h", "alice", false,
       std::nullopt, 1},
      {"no login: dropped", "machine h password p\n", "h", "alice", false, std::nullopt, 0},
      {"no login dropped, the next entry stays",
       "machine h password p\nmachine h login alice password q\n", "h", "alice", true, "q", 1},
      {"default never answers", "default login alice password p\n", "h", "alice", false,
       std::nullopt, 1},
      {"default between entries",
       "machine h login bob password b\ndefault login alice password p\n", "h", "alice", false,
       std::nullopt, 2},
      {"default finishes the entry before it and, without a login, is dropped",
       "machine h login alice default password p\n", "h", "alice", true, std::nullopt, 1},
      {"user and passwd", "machine h user alice passwd s3cret\n", "h", "alice", true, "s3cret", 1},
      {"account value is ignored, whatever it spells", "machine h login alice account password p\n",
       "h", "alice", true, std::nullopt, 1},
      {"a value is the next token, whatever it spells", "machine h login machine password p\n", "h",
       "machine", true, "p", 1},
      {"values before the first machine are ignored", "login alice password p\nmachine h\n", "h",
       "alice", false, std::nullopt, 0},
      {"a keyword at the end of the file has no value",
       "machine h login alice password p\npassword", "h", "alice", true, "p", 1},
      {"capitalised Login is an ordinary token", "machine h Login alice password p\n", "h", "alice",
       false, std::nullopt, 0},
      {"capitalised Machine is an ordinary token", "Machine h login alice password p\n", "h",
       "alice", false, std::nullopt, 0},
      {"capitalised PASSWORD is an ordinary token", "machine h login alice PASSWORD p\n", "h",
       "alice", true, std::nullopt, 1},
      {"after a capitalised keyword a real keyword still acts",
       "machine h login alice Password password p\n", "h", "alice", true, "p", 1},
      {"a comment line", "# machine h login alice password p\n", "h", "alice", false, std::nullopt,
       0},
      {"an indented comment line", "  \t#machine h login alice password p\n", "h", "alice", false,
       std::nullopt, 0},
      {"# as a token ends the line, the value comes from the next",
       "machine h login alice password # not this\ns3cret\n", "h", "alice", true, "s3cret", 1},
      {"# glued to a token's start ends the line", "machine h login alice password #secret\np\n",
       "h", "alice", true, "p", 1},
      {"# inside a token", "machine h login alice password pa#ss\n", "h", "alice", true, "pa#ss",
       1},
      {"# in double quotes", "machine h login alice password \"#secret\"\n", "h", "alice", true,
       "#secret", 1},
      {"# in single quotes", "machine h login alice password '#sec ret'\n", "h", "alice", true,
       "#sec ret", 1},
      {"quoted password with blanks and the other quote",
       "machine h login alice password \"it's a secret\"\n", "h", "alice", true, "it's a secret",
       1},
      {"single-quoted password with double quotes",
       "machine h login alice password 'say \"hi\" now'\n", "h", "alice", true, "say \"hi\" now",
       1},
      {"touching quoted and unquoted stretches form one token",
       "machine h login alice password ab\"c d\"'e f'g\n", "h", "alice", true, "abc de fg", 1},
      {"a backslash is ordinary", "machine h login alice password a\\\"b c\"\n", "h", "alice", true,
       "a\\b c", 1},
      {"empty double quotes", "machine h login alice password \"\"\n", "h", "alice", true, "", 1},
      {"empty single quotes", "machine h login alice password ''\n", "h", "alice", true, "", 1},
      {"empty quotes followed by more", "machine h login alice password '' junk\n", "h", "alice",
       true, "", 1},
      {"an opening quote at the end of the line", "machine h login alice password \"\n", "h",
       "alice", true, "", 1},
      {"an unclosed quote runs to the end of the line",
       "machine h login alice password \"open to the end  \nmachine other login bob\n", "h",
       "alice", true, "open to the end", 2},
      {"quoted keywords are keywords", "\"machine\" h 'login' alice pass\"word\" p\n", "h", "alice",
       true, "p", 1},
      {"macdef up to the first blank line",
       "machine h login alice\nmacdef init\npassword wrong\nmachine evil login alice password x\n"
       "\npassword right\n",
       "h", "alice", true, "right", 1},
      {"macdef up to a whitespace-only line",
       "machine h login alice\nmacdef init\nlogin bob\npassword wrong\n \t \npassword right\n", "h",
       "alice", true, "right", 1},
      {"the rest of a macdef line is ignored",
       "machine h login alice macdef password wrong\n\npassword right\n", "h", "alice", true,
       "right", 1},
      {"a macdef running to the end of the file",
       "machine h login alice password p\nmacdef x\nmachine other login bob\n", "h", "alice", true,
       "p", 1},
      {"a line longer than 511 characters is read in pieces",
       long_prefix + fills_first_piece + "AAAA\n", "h", "alice", true, fills_first_piece, 1},
      {"a keyword at the start of the second piece acts",
       long_prefix + fills_first_piece + "password B\n", "h", "alice", true, "B", 1},
      {"a comment sign at the start of the second piece ends that piece",
       long_prefix + "x" + std::string(511 - long_prefix.size() - 1, ' ') + "#" +
           " password wrong\n",
       "h", "alice", true, "x", 1},
      {"a value across three pieces",
       "machine h login alice password\n" + std::string(1022, 'v') + "w\n", "h", "alice", true,
       std::string(511, 'v'), 1},
  };
}

TEST(NetrcParse, LookupTable) {
  const temp_dir dir;
  const std::string path = dir.file("netrc");
  for (const lookup_case& c : lookup_cases()) {
    SCOPED_TRACE(c.name);
    write_file(path, c.text);
    const netrc_list_ptr list = netrc_parse(path.c_str());
    if (c.entries == 0) {
      EXPECT_EQ(nullptr, list);
    } else {
      ASSERT_NE(nullptr, list);
      EXPECT_EQ(c.entries, list->entries.size());
      for (const netrc_entry& entry : list->entries) {
        EXPECT_TRUE(entry.login.has_value());
      }
    }
    const netrc_entry* entry = netrc_find(list.get(), c.host, c.user);
    ASSERT_EQ(c.found, entry != nullptr);
    if (entry != nullptr) {
      EXPECT_EQ(std::optional<std::string>(c.host), entry->machine);
      EXPECT_EQ(std::optional<std::string>(c.user), entry->login);
      EXPECT_EQ(c.password, entry->password);
    }
  }
}

TEST(NetrcParse, EntriesInFileOrder) {
  const temp_dir dir;
  const std::string path = dir.file("netrc");
  write_file(path,
             "machine one login a password 1\n"
             "machine dropped password x\n"
             "default login d password 4\n"
             "machine two login b\n"
             "machine three login c password 3\n");
  const netrc_list_ptr list = netrc_parse(path.c_str());
  ASSERT_NE(nullptr, list);
  ASSERT_EQ(4u, list->entries.size());
  EXPECT_EQ("one", list->entries[0].machine);
  EXPECT_EQ(std::nullopt, list->entries[1].machine);
  EXPECT_EQ("d", list->entries[1].login);
  EXPECT_EQ("two", list->entries[2].machine);
  EXPECT_EQ(std::nullopt, list->entries[2].password);
  EXPECT_EQ("three", list->entries[3].machine);
  EXPECT_EQ("3", list->entries[3].password);
}

TEST(NetrcParse, NothingFromMissingOrEmptyFiles) {
  const temp_dir dir;
  EXPECT_EQ(nullptr, netrc_parse(dir.file("missing").c_str()));
  EXPECT_EQ(nullptr, netrc_parse(dir.path.c_str()));  // a directory reads as nothing
  write_file(dir.file("empty"), "");
  EXPECT_EQ(nullptr, netrc_parse(dir.file("empty").c_str()));
  EXPECT_EQ(nullptr, netrc_find(nullptr, "h", "alice"));
  netrc_free(nullptr);
  netrc_wipe(nullptr);
}

TEST(NetrcFind, LoginlessEntryAnswersAnyUser) {
  // Only a list built by hand has such an entry: the reader drops them.
  netrc_list list;
  list.entries.push_back({"h", std::nullopt, "p"});
  list.entries.push_back({std::nullopt, "alice", "d"});
  const netrc_entry* entry = netrc_find(&list, "h", "anyone");
  ASSERT_NE(nullptr, entry);
  EXPECT_EQ("p", entry->password);
  EXPECT_EQ(nullptr, netrc_find(&list, "H", "anyone"));
}

TEST(NetrcFree, OverwritesEveryPasswordByteBeforeRelease) {
  const temp_dir dir;
  const std::string path = dir.file("netrc");
  // Short passwords live inside the string object, longer ones on the heap: cover both.
  const std::vector<std::string> passwords = {"",
                                              "p",
                                              std::string(15, 's'),
                                              std::string(16, 'm'),
                                              std::string(300, 'l'),
                                              "with \"blanks\" and #"};
  std::string text = "machine h login replaced password earlier-one password 'later one'\n";
  for (std::size_t i = 0; i < passwords.size(); ++i) {
    text += "machine h" + std::to_string(i) + " login u password '" + passwords[i] + "'\n";
  }
  text += "machine h login nopassword\n";
  write_file(path, text);

  netrc_list_ptr list = netrc_parse(path.c_str());
  ASSERT_NE(nullptr, list);
  ASSERT_EQ(passwords.size() + 2, list->entries.size());
  EXPECT_EQ("later one", list->entries[0].password);

  // netrc_free wipes with netrc_wipe, then releases: every password keeps its length, each byte
  // 'U'.
  netrc_wipe(list.get());
  std::vector<std::string> wiped;
  for (const netrc_entry& entry : list->entries) {
    if (entry.password.has_value()) {
      wiped.push_back(*entry.password);
    }
  }
  ASSERT_EQ(passwords.size() + 1, wiped.size());
  EXPECT_EQ(std::string(9, 'U'), wiped[0]);
  for (std::size_t i = 0; i < passwords.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(std::string(passwords[i].size(), '\x55'), wiped[i + 1]);
  }

  // And the memory that netrc_free gives back holds no password: the test binary's operator
  // delete looks at every block. A host name, which is not wiped, shows that it does look.
  const struct {
    std::string needle;
    bool found;
  } watched[] = {{std::string(300, 'l'), false}, {"a-host-name-longer-than-a-short-string", true}};
  for (const auto& w : watched) {
    SCOPED_TRACE(w.needle);
    write_file(path, "machine a-host-name-longer-than-a-short-string login u password '" +
                         std::string(300, 'l') + "'\n");
    netrc_list_ptr fresh = netrc_parse(path.c_str());
    ASSERT_NE(nullptr, fresh);
    const freed_memory_watch watch(w.needle);
    fresh.reset();
    EXPECT_EQ(w.found, watch.hits() > 0);
  }
}

TEST(NetrcWipe, LeavesLengthsAndOtherFields) {
  netrc_list list;
  list.entries.push_back({"h", "alice", "secret"});
  list.entries.push_back({"h", "bob", std::nullopt});
  netrc_wipe(&list);
  EXPECT_EQ("UUUUUU", list.entries[0].password);
  EXPECT_EQ("alice", list.entries[0].login);
  EXPECT_EQ("h", list.entries[0].machine);
  EXPECT_EQ(std::nullopt, list.entries[1].password);
}

TEST(GetFilename, JoinsWithOneSlash) {
  struct filename_case {
    const char* dir;
    const char* file;
    const char* expected;
  };
  const filename_case cases[] = {
      {"/home/alice", ".netrc", "/home/alice/.netrc"},
      {"/home/alice/", ".netrc", "/home/alice/.netrc"},
      {"", ".netrc", "/.netrc"},
      {"/", ".netrc", "/.netrc"},
      {"/etc", "netrc", "/etc/netrc"},
      {"relative", "netrc", "relative/netrc"},
      {"two//", "netrc", "two//netrc"},
      {"/dir", "", "/dir/"},
  };
  for (const filename_case& c : cases) {
    SCOPED_TRACE(std::string(c.dir) + " + " + c.file);
    EXPECT_EQ(c.expected, get_filename(c.dir, c.file));
  }
}

TEST(GetSysconfdir, IsEtc) {
  EXPECT_EQ("/etc", get_sysconfdir());
}

TEST(GetHomedir, FromHomeOrThePasswordDatabase) {
  {
    const scoped_home home("/home/someone/");
    EXPECT_EQ("/home/someone/", get_homedir());
    EXPECT_EQ("/home/someone/.netrc", get_filename(get_homedir().c_str(), ".netrc"));
  }
  {
    const scoped_home home("");
    EXPECT_EQ("", get_homedir());
    EXPECT_EQ("/.netrc", get_filename(get_homedir().c_str(), ".netrc"));
  }
  {
    const scoped_home home(std::nullopt);
    const passwd* entry = ::getpwuid(::getuid());
    const std::string expected = entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
    EXPECT_EQ(expected, get_homedir());
  }
}

// The two netrc files of a lookup, each in a directory of its own.
struct netrc_files {
  temp_dir home;
  temp_dir sysconf;

  void user_file(const std::string& text) const { write_file(home.file(".netrc"), text); }
  void system_file(const std::string& text) const { write_file(sysconf.file("netrc"), text); }
  std::optional<std::string> lookup(const char* host, const char* user) const {
    const scoped_home set_home(home.path);
    return netrc_lookup(host, user, sysconf.path.c_str());
  }
};

TEST(NetrcLookup, UserFileFirstThenSystemFile) {
  struct order_case {
    const char* name;
    std::optional<std::string> user_file;    ///< none: no such file
    std::optional<std::string> system_file;  ///< none: no such file
    std::optional<std::string> expected;
  };
  const order_case cases[] = {
      {"both answer: the user's file wins", "machine h login alice password mine\n",
       "machine h login alice password system\n", "mine"},
      {"a match without a password falls through",
       "machine h login alice\nmachine h login alice password later\n",
       "machine h login alice password system\n", "system"},
      {"no match in the user's file", "machine other login alice password mine\n",
       "machine h login alice password system\n", "system"},
      {"no user's file", std::nullopt, "machine h login alice password system\n", "system"},
      {"no system file", "machine h login alice password mine\n", std::nullopt, "mine"},
      {"both match without a password", "machine h login alice\n", "machine h login alice\n",
       std::nullopt},
      {"neither file", std::nullopt, std::nullopt, std::nullopt},
      {"neither file answers", "default login alice password d\n",
       "machine h login bob password b\n", std::nullopt},
  };
  for (const order_case& c : cases) {
    SCOPED_TRACE(c.name);
    const netrc_files files;
    if (c.user_file.has_value()) {
      files.user_file(*c.user_file);
    }
    if (c.system_file.has_value()) {
      files.system_file(*c.system_file);
    }
    EXPECT_EQ(c.expected, files.lookup("h", "alice"));
  }
}

TEST(NetrcLookup, HomeWithTrailingSlash) {
  const netrc_files files;
  files.user_file("machine h login alice password mine\n");
  const scoped_home home(files.home.path + "/");
  EXPECT_EQ("mine", netrc_lookup("h", "alice", files.sysconf.path.c_str()));
}

TEST(PasswordGet, AnswersFromNetrcWithoutPrompting) {
  // The user's file answers, so neither the system file nor the terminal is consulted.
  const netrc_files files;
  files.user_file("machine localhost login alice password from-netrc\n");
  const scoped_home home(files.home.path);
  for (const int require_tty : {0, 1}) {
    SCOPED_TRACE(require_tty);
    EXPECT_EQ("from-netrc", password_get("localhost", "alice", 1, true, require_tty != 0));
  }
}

}  // namespace
}  // namespace fernd
