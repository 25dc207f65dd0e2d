#include "pop3/pop3_session.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "common/exit_status.h"
#include "common/posix_handle.h"
#include "log/session_log.h"
#include "maildir/maildir.h"
#include "server/session_serve.h"
#include "support/call_failure.h"
#include "support/child_process.h"
#include "support/fd_count.h"
#include "support/fd_reading.h"
#include "support/log_lines.h"
#include "support/not_regular_file.h"
#include "support/pause_count.h"
#include "support/temp_maildir.h"
#include "support/transcript.h"

namespace fernd {
namespace {

using lines = std::vector<std::string>;
using namespace std::string_literals;

const std::string greeting = "+OK fernd ready.\r\n";
const std::string login = "USER alice\r\nPASS secret\r\n";
const std::string login_ok = "+OK\r\n+OK\r\n";
const std::string not_understood = "-ERR command not understood\r\n";

struct message {
  std::string name;
  std::string content;
};

struct session_run {
  std::string output;
  int status = -1;
  log_lines log;
  lines remaining;  // names left in alice's new/, sorted
  lines passwords;  // the session's copy of the account list's passwords, as it left them
};

class Pop3Session : public testing::Test {
 public:
  void SetUp() override {
    // A second "alice" after bob: the first account with a name decides, so its password and
    // mailbox are never used.
    accounts = {{"alice", "secret", box.path},
                {"bob", "pw  ", bob_box.path},
                {"alice", "other", shadow_box.path}};
    log_path = box.path + "/session.log";
  }

  // Empties alice's new/ and writes the messages again, oldest first, so that every run of a
  // transcript starts from the same mailbox.
  void fill_mailbox() const {
    for (const auto& entry : std::filesystem::directory_iterator(box.path + "/new")) {
      std::filesystem::remove_all(entry.path());
    }
    for (std::size_t i = 0; i < messages.size(); ++i) {
      box.add(messages[i].name, messages[i].content, 1'000'000 + static_cast<std::int64_t>(i));
    }
  }

  lines remaining_names() const {
    lines names;
    for (const auto& entry : std::filesystem::directory_iterator(box.path + "/new")) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  session_run run_once(const transcript_client& client, bool auth_delay) const {
    fill_mailbox();
    write_file(log_path, "");
    session_log log;
    log_open(false, log_path.c_str(), &log);
    const int fds_before = open_fd_count();
    transcript_result result = transcript_run(client, &log, accounts, auth_delay, options);
    EXPECT_EQ(fds_before, open_fd_count()) << "the session leaked a descriptor";
    log_close(&log);
    // The status as a session process reports it: 0, 1 or 2.
    lines passwords;
    for (const account& each : result.accounts) {
      passwords.push_back(each.password);
    }
    return {std::move(result.output),
            session_exit_status(result.status, session_mode::session_process),
            log_lines_read(log_path, ::getpid()), remaining_names(), std::move(passwords)};
  }

  // Runs the transcript twice, pipelined and one byte per write; both runs must agree in every
  // byte of output, the status, the log and what is left in the mailbox.
  session_run run(transcript_client client, bool auth_delay = false) const {
    client.feed = client_feed::all_at_once;
    session_run whole = run_once(client, auth_delay);
    client.feed = client_feed::byte_by_byte;
    const session_run bytewise = run_once(client, auth_delay);
    EXPECT_TRUE(same_bytes(whole.output, bytewise.output)) << "byte-by-byte feed";
    EXPECT_EQ(whole.status, bytewise.status) << "byte-by-byte feed";
    EXPECT_EQ(whole.log, bytewise.log) << "byte-by-byte feed";
    EXPECT_EQ(whole.remaining, bytewise.remaining) << "byte-by-byte feed";
    return whole;
  }

  session_run run(const std::string& client, bool auth_delay = false) const {
    transcript_client script;
    script.first = client;
    return run(script, auth_delay);
  }

  std::string path_of(const std::string& name) const { return box.new_path(name); }

  temp_maildir box;
  temp_maildir bob_box;
  temp_maildir shadow_box;
  account_list accounts;
  std::string log_path;
  std::vector<message> messages;
  pop3_options options;  // what the command line turned on: nothing unless a test says so
};

// One dialogue: the client's bytes, the server's bytes after the greeting, the status, the log.
struct dialogue {
  std::string client;
  std::string replies;
  int status;
  log_lines log;
};

void expect_dialogues(const Pop3Session& fixture, const std::vector<dialogue>& cases) {
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(testing::Message()
                 << "case " << i << ": " << testing::PrintToString(cases[i].client));
    const session_run result = fixture.run(cases[i].client);
    EXPECT_TRUE(same_bytes(greeting + cases[i].replies, result.output));
    EXPECT_EQ(cases[i].status, result.status);
    EXPECT_EQ(cases[i].log, result.log);
  }
}

TEST_F(Pop3Session, QuitRightAfterGreeting) {
  const session_run result = run("QUIT\r\n");
  EXPECT_EQ(greeting + "+OK\r\n", result.output);
  EXPECT_EQ(exit_status_ok, result.status);
  EXPECT_EQ(logged_session_start + logged_session_quit, result.log);
}

TEST_F(Pop3Session, AuthorizationRules) {
  const std::string auth_failed = "-ERR authorization failed\r\n";
  const std::string capa = "+OK\r\nUSER\r\nUIDL\r\n.\r\n";
  expect_dialogues(
      *this,
      {
          // Command words in any case; a bare LF ends a line as well as CR LF.
          {"quit\r\n", "+OK\r\n", 0, logged_session_start + logged_session_quit},
          {"Quit\n", "+OK\r\n", 0, logged_session_start + logged_session_quit},
          {"QUIT \r\nQUIT\r\n", not_understood + "+OK\r\n", 0,
           logged_session_start + logged_session_quit},
          {"CAPA\r\ncapa\r\nQUIT\r\n", capa + capa + "+OK\r\n", 0,
           logged_session_start + logged_session_quit},
          {"USER\r\nUSERalice\r\nQUIT\r\n", not_understood + not_understood + "+OK\r\n", 0,
           logged_session_start + logged_session_quit},
          // Nothing of the transaction phase, nor a PASS without its USER, before a login.
          {"PASS secret\r\nNOOP\r\nSTAT\r\nLIST\r\nRETR 1\r\nAPOP alice x\r\nQUIT\r\n",
           not_understood + not_understood + not_understood + not_understood + not_understood +
               not_understood + "+OK\r\n",
           0, logged_session_start + logged_session_quit},
          {"user alice\r\npass secret\r\nquit\r\n", login_ok + "+OK\r\n", 0,
           logged_login(0) + logged_update(0)},
          // "USER " with nothing after it is a USER with an empty name, answered like any other.
          {"USER \r\nPASS \r\nQUIT\r\n", "+OK\r\n" + auth_failed + "+OK\r\n", 2,
           logged_session_start + logged_user_accepted + logged_invalid_credentials("") +
               logged_session_quit},
          // User names compare case-sensitively; passwords byte for byte, blanks included.
          {"USER ALICE\r\nPASS secret\r\nQUIT\r\n", "+OK\r\n" + auth_failed + "+OK\r\n", 2,
           logged_session_start + logged_user_accepted + logged_invalid_credentials("ALICE") +
               logged_session_quit},
          {"USER bob\r\nPASS pw\r\nQUIT\r\n", "+OK\r\n" + auth_failed + "+OK\r\n", 2,
           logged_session_start + logged_user_accepted + logged_invalid_credentials("bob") +
               logged_session_quit},
          {"USER bob\r\nPASS pw  \r\nQUIT\r\n", login_ok + "+OK\r\n", 0,
           logged_session_start + logged_user_accepted + logged_authorized("bob", 0) +
               logged_update(0)},
          // Of two accounts named alice only the first counts.
          {"USER alice\r\nPASS other\r\nQUIT\r\n", "+OK\r\n" + auth_failed + "+OK\r\n", 2,
           logged_session_start + logged_user_accepted + logged_invalid_credentials("alice") +
               logged_session_quit},
          // The name is cleaned of control characters for the log; other bytes stay.
          {"USER a\x01"
           "b\x7f\tc\xe9 d\r\nPASS x\r\nQUIT\r\n",
           "+OK\r\n" + auth_failed + "+OK\r\n", 2,
           logged_session_start + logged_user_accepted +
               logged_invalid_credentials("a?b??c\xe9 d") + logged_session_quit},
          // A line after USER that is no PASS is a command of its own, and the name is forgotten.
          {"USER alice\r\nQUIT\r\n", "+OK\r\n+OK\r\n", 0,
           logged_session_start + logged_user_accepted + logged_session_quit},
          {"USER alice\r\nNOOP\r\nPASS secret\r\nQUIT\r\n",
           "+OK\r\n" + not_understood + not_understood + "+OK\r\n", 0,
           logged_session_start + logged_user_accepted + logged_session_quit},
          {"USER alice\r\nCAPA\r\nQUIT\r\n", "+OK\r\n" + capa + "+OK\r\n", 0,
           logged_session_start + logged_user_accepted + logged_session_quit},
          {"USER bob\r\nUSER alice\r\nPASS secret\r\nQUIT\r\n", "+OK\r\n" + login_ok + "+OK\r\n", 0,
           logged_session_start + logged_user_accepted + logged_user_accepted +
               logged_authorized("alice", 0) + logged_update(0)},
      });
}

TEST_F(Pop3Session, EmptyMailbox) {
  const session_run result =
      run(login + "STAT\r\nLIST\r\nUIDL\r\nLIST 1\r\nUIDL 1\r\nRETR 1\r\nDELE 1\r\nQUIT\r\n");
  EXPECT_EQ(greeting + login_ok +
                "+OK 0 0\r\n"
                "+OK\r\n"
                ".\r\n"
                "+OK\r\n"
                ".\r\n"
                "-ERR\r\n"
                "-ERR\r\n"
                "-ERR\r\n"
                "-ERR\r\n"
                "+OK\r\n",
            result.output);
  EXPECT_EQ(exit_status_ok, result.status);
  EXPECT_EQ(logged_login(0) + logged_update(0), result.log);
}

TEST_F(Pop3Session, NumbersStayAfterDeleAndRset) {
  // The names sort the other way round from the times: numbers follow the snapshot's order.
  messages = {{"zz.first", std::string(99, 'x') + "\n"},
              {"aa.second", std::string(249, 'y') + "\n"}};
  const session_run result = run(login +
                                 "STAT\r\n"
                                 "LIST\r\n"
                                 "UIDL\r\n"
                                 "DELE 1\r\n"
                                 "STAT\r\n"
                                 "LIST\r\n"
                                 "UIDL\r\n"
                                 "LIST 1\r\n"
                                 "UIDL 1\r\n"
                                 "RETR 1\r\n"
                                 "DELE 1\r\n"
                                 "LIST 2\r\n"
                                 "UIDL 2\r\n"
                                 "RSET\r\n"
                                 "STAT\r\n"
                                 "LIST 1\r\n"
                                 "UIDL 1\r\n"
                                 "NOOP\r\n"
                                 "QUIT\r\n");
  EXPECT_EQ(greeting + login_ok +
                "+OK 2 350\r\n"
                "+OK\r\n1 100\r\n2 250\r\n.\r\n"
                "+OK\r\n1 zz.first\r\n2 aa.second\r\n.\r\n"
                "+OK\r\n"
                "+OK 1 250\r\n"
                "+OK\r\n2 250\r\n.\r\n"
                "+OK\r\n2 aa.second\r\n.\r\n"
                "-ERR\r\n"
                "-ERR\r\n"
                "-ERR\r\n"
                "-ERR\r\n"
                "+OK 2 250\r\n"
                "+OK 2 aa.second\r\n"
                "+OK\r\n"
                "+OK 2 350\r\n"
                "+OK 1 100\r\n"
                "+OK 1 zz.first\r\n"
                "+OK\r\n"
                "+OK\r\n",
            result.output);
  EXPECT_EQ(exit_status_ok, result.status);
  EXPECT_EQ(logged_login(2) + logged_update(0), result.log);
  EXPECT_EQ((lines{"aa.second", "zz.first"}), result.remaining);
}

TEST_F(Pop3Session, MessageNumberArguments) {
  messages = {{"m1", std::string(99, 'x') + "\n"}, {"m2", std::string(249, 'y') + "\n"}};
  enum answer { refused, no_message, valid };
  const struct {
    std::string argument;
    answer expected;
  } arguments[] = {
      {"0", refused},
      {"-1", refused},
      {"+1", refused},
      {"x", refused},
      {" 1", refused},  // two blanks after the command word
      {"1 ", refused},
      {"", refused},
      {"1x", refused},
      {"18446744073709551616", refused},
      {"99999999999999999999999", refused},
      {"18446744073709551615", no_message},
      {"3", no_message},
      {"007", no_message},
      {"002", valid},
  };
  const struct {
    std::string command;
    std::string valid_reply;  // the answer for message 2
    int deleted;
  } commands[] = {
      {"LIST", "+OK 2 250\r\n", 0},
      {"UIDL", "+OK 2 m2\r\n", 0},
      {"RETR", "+OK\r\n" + std::string(249, 'y') + "\r\n.\r\n", 0},
      {"DELE", "+OK\r\n", 1},
  };
  for (const auto& command : commands) {
    SCOPED_TRACE(command.command);
    std::string client = login;
    std::string replies = login_ok;
    for (const auto& argument : arguments) {
      client += command.command + " " + argument.argument + "\r\n";
      replies += argument.expected == refused      ? not_understood
                 : argument.expected == no_message ? "-ERR\r\n"
                                                   : command.valid_reply;
    }
    client += "QUIT\r\n";
    replies += "+OK\r\n";
    const session_run result = run(client);
    EXPECT_TRUE(same_bytes(greeting + replies, result.output));
    EXPECT_EQ(exit_status_ok, result.status);
    EXPECT_EQ(logged_login(2) + logged_update(command.deleted), result.log);
    EXPECT_EQ(command.deleted == 1 ? lines{"m1"} : (lines{"m1", "m2"}), result.remaining);
  }
}

TEST_F(Pop3Session, RetrSendsEachMessageDotStuffed) {
  messages = {
      {"empty", ""},
      {"mixed", "a\nb\r\n.\n..x\nlast"},
      {"binary", "\0NUL first\nmid\0dle\r\nlone\rcr\n"s},
      {"dot", ".\r\n"},
  };
  const session_run result =
      run(login + "RETR 1\r\nRETR 2\r\nRETR 3\r\nRETR 4\r\nretr 2\r\nQUIT\r\n");
  const std::string mixed = "+OK\r\na\r\nb\r\n..\r\n...x\r\nlast\r\n.\r\n";
  EXPECT_TRUE(same_bytes(greeting + login_ok + "+OK\r\n.\r\n" + mixed +
                             "+OK\r\n\0NUL first\r\nmid\0dle\r\nlone\rcr\r\n.\r\n"s +
                             "+OK\r\n..\r\n.\r\n" + mixed + "+OK\r\n",
                         result.output));
  EXPECT_EQ(exit_status_ok, result.status);
  EXPECT_EQ(logged_login(4) + logged_update(0), result.log);
}

// ---- TOP, served only with --top ----

const std::string capa_plain = "+OK\r\nUSER\r\nUIDL\r\n.\r\n";
const std::string capa_top = "+OK\r\nUSER\r\nTOP\r\nUIDL\r\n.\r\n";

TEST_F(Pop3Session, WithoutTheOptionTopIsNotUnderstoodAndCapaIsUnchanged) {
  messages = {{"m1", "Subject: one\n\nbody\n"}};
  const session_run result =
      run("CAPA\r\nTOP 1 0\r\n" + login +
          "CAPA\r\nTOP 1 0\r\ntop 1 1\r\nTOP 9 0\r\nTOP 1\r\nTOP 1 x\r\nTOP\r\nSTAT\r\nQUIT\r\n");
  EXPECT_TRUE(same_bytes(greeting + capa_plain + not_understood + login_ok + capa_plain +
                             not_understood + not_understood + not_understood + not_understood +
                             not_understood + not_understood + "+OK 1 19\r\n+OK\r\n",
                         result.output));
  EXPECT_EQ(20u, capa_plain.size());
  EXPECT_EQ(exit_status_ok, result.status);
  EXPECT_EQ(logged_login(1) + logged_update(0), result.log);
}

TEST_F(Pop3Session, WithTheOptionCapaAnnouncesTopInBothPhases) {
  options.top = true;
  messages = {{"m1", "Subject: one\n\nbody\n"}};
  // Before a login TOP is a command of the other phase, not understood like RETR.
  const session_run result =
      run("CAPA\r\nTOP 1 0\r\nRETR 1\r\n" + login + "capa\r\nTOP 1 0\r\nQUIT\r\n");
  EXPECT_TRUE(same_bytes(greeting + capa_top + not_understood + not_understood + login_ok +
                             capa_top + "+OK\r\nSubject: one\r\n\r\n.\r\n+OK\r\n",
                         result.output));
  EXPECT_EQ(exit_status_ok, result.status);
  EXPECT_EQ(logged_login(1) + logged_update(0), result.log);
}

TEST_F(Pop3Session, TopSendsTheHeaderAndTheFirstBodyLines) {
  options.top = true;
  const std::string h65534(65534, 'h');
  const struct {
    const char* what;
    std::string file;
    std::vector<std::pair<std::string, std::string>> tops;  // line count, what TOP sends
  } cases[] = {
      {"bare LF",
       "Subject: a\nFrom: b\n\nline 1\nline 2\nline 3\n",
       {{"0", "Subject: a\r\nFrom: b\r\n\r\n"},
        {"1", "Subject: a\r\nFrom: b\r\n\r\nline 1\r\n"},
        {"2", "Subject: a\r\nFrom: b\r\n\r\nline 1\r\nline 2\r\n"},
        {"3", "Subject: a\r\nFrom: b\r\n\r\nline 1\r\nline 2\r\nline 3\r\n"},
        {"4", "Subject: a\r\nFrom: b\r\n\r\nline 1\r\nline 2\r\nline 3\r\n"},
        {"18446744073709551615", "Subject: a\r\nFrom: b\r\n\r\nline 1\r\nline 2\r\nline 3\r\n"},
        {"0001", "Subject: a\r\nFrom: b\r\n\r\nline 1\r\n"}}},
      {"CR LF",
       "A: 1\r\nB: 2\r\n\r\nbody 1\r\n\r\nbody 3\r\n",
       {{"0", "A: 1\r\nB: 2\r\n\r\n"},
        {"2", "A: 1\r\nB: 2\r\n\r\nbody 1\r\n\r\n"},
        {"9", "A: 1\r\nB: 2\r\n\r\nbody 1\r\n\r\nbody 3\r\n"}}},
      // The empty line ends the header in either form; "CR CR LF" is a line holding a CR.
      {"mixed", "A: 1\r\n\nbody\r\nx\n", {{"0", "A: 1\r\n\r\n"}, {"1", "A: 1\r\n\r\nbody\r\n"}}},
      {"a CR is text",
       "A: 1\n\r\r\nB: 2\n\rx\n\nbody\n",
       {{"0", "A: 1\r\n\r\r\nB: 2\r\n\rx\r\n\r\n"}}},
      {"no empty line", "Subject: a\nFrom: b\n", {{"0", "Subject: a\r\nFrom: b\r\n"}}},
      {"no empty line, no final LF", "Subject: only", {{"0", "Subject: only\r\n"}}},
      {"no final LF",
       "A: 1\n\nthe last",
       {{"0", "A: 1\r\n\r\n"},
        {"1", "A: 1\r\n\r\nthe last\r\n"},
        {"2", "A: 1\r\n\r\nthe last\r\n"}}},
      {"ends in a lone CR", "A: 1\n\nx\r", {{"1", "A: 1\r\n\r\nx\r\r\n"}}},
      {"dot lines",
       ".Subject: dot\n..x\n\n.\n..body\nlast\n",
       {{"0", "..Subject: dot\r\n...x\r\n\r\n"},
        {"1", "..Subject: dot\r\n...x\r\n\r\n..\r\n"},
        {"2", "..Subject: dot\r\n...x\r\n\r\n..\r\n...body\r\n"}}},
      {"NUL bytes",
       "A: \0x\n\0\n\nb\0dy\nmore\n"s,
       {{"0", "A: \0x\r\n\0\r\n\r\n"s}, {"1", "A: \0x\r\n\0\r\n\r\nb\0dy\r\n"s}}},
      {"empty file", "", {{"0", ""}, {"5", ""}}},
      {"empty header", "\nbody\n", {{"0", "\r\n"}, {"1", "\r\nbody\r\n"}}},
      // The empty line's CR is the last byte of the first read block, its LF the first of the
      // second.
      {"CR LF across the read blocks",
       h65534 + "\n\r\nbody\nmore\n",
       {{"0", h65534 + "\r\n\r\n"}, {"1", h65534 + "\r\n\r\nbody\r\n"}}},
      {"CR and text across the read blocks",
       h65534 + "\n\rx\n\nbody\n",
       {{"0", h65534 + "\r\n\rx\r\n\r\n"}}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    messages.push_back({"m" + std::to_string(100 + i), cases[i].file});
  }
  std::string client = login;
  std::string replies = login_ok;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    for (const auto& [count, sent] : cases[i].tops) {
      client += "TOP " + std::to_string(i + 1) + " " + count + "\r\n";
      replies += "+OK\r\n" + sent + ".\r\n";
    }
  }
  client += "QUIT\r\n";
  replies += "+OK\r\n";
  const session_run result = run(client);
  EXPECT_TRUE(same_bytes(greeting + replies, result.output));
  EXPECT_EQ(exit_status_ok, result.status);
  // TOP marks nothing.
  EXPECT_EQ(logged_login(static_cast<int>(std::size(cases))) + logged_update(0), result.log);
  EXPECT_EQ(std::size(cases), result.remaining.size());
}

TEST_F(Pop3Session, TopArguments) {
  options.top = true;
  messages = {{"m1", "A: 1\n\nb1\nb2\n"}, {"m2", "A: 2\n\nc\n"}, {"m3", "A: 3\n\nd\n"}};
  const std::string top_1_1 = "+OK\r\nA: 1\r\n\r\nb1\r\n.\r\n";
  const struct {
    std::string line;
    std::string reply;
  } cases[] = {
      {"TOP 1 1", top_1_1},
      {"top 001 01", top_1_1},
      {"Top 1 1", top_1_1},
      // Out of range or deleted (message 2 is deleted first): no such message.
      {"TOP 4 0", "-ERR\r\n"},
      {"TOP 18446744073709551615 0", "-ERR\r\n"},
      {"TOP 2 0", "-ERR\r\n"},
      {"TOP 2 x", not_understood},
      // Everything else is not understood, whatever the message number.
      {"TOP 1", not_understood},
      {"TOP 1 x", not_understood},
      {"TOP 1  2", not_understood},
      {"TOP 1 -1", not_understood},
      {"TOP 1 +1", not_understood},
      {"TOP 1 2 3", not_understood},
      {"TOP 1 ", not_understood},
      {"TOP 1 2 ", not_understood},
      {"TOP 1 1x", not_understood},
      {"TOP 1 18446744073709551616", not_understood},
      {"TOP  1 0", not_understood},
      {"TOP 0 0", not_understood},
      {"TOP -1 0", not_understood},
      {"TOP x 0", not_understood},
      {"TOP 18446744073709551616 0", not_understood},
      {"TOP 99 x", not_understood},
      {"TOP 1\t0", not_understood},
      {"TOP", not_understood},
      {"TOP ", not_understood},
      {"TOP1 0", not_understood},
      {"TOPS 1 0", not_understood},
      {"TO 1 0", not_understood},
  };
  std::string client = login + "DELE 2\r\n";
  std::string replies = login_ok + "+OK\r\n";
  for (const auto& c : cases) {
    client += c.line + "\r\n";
    replies += c.reply;
  }
  client += "QUIT\r\n";
  replies += "+OK\r\n";
  const session_run result = run(client);
  EXPECT_TRUE(same_bytes(greeting + replies, result.output));
  EXPECT_EQ(exit_status_ok, result.status);
  EXPECT_EQ(logged_login(3) + logged_update(1), result.log);
  EXPECT_EQ((lines{"m1", "m3"}), result.remaining);
}

TEST_F(Pop3Session, TopWithALargeCountSendsWhatRetrSends) {
  options.top = true;
  messages = {
      {"empty", ""},
      {"mixed", "a\nb\r\n.\n..x\nlast"},
      {"binary", "\0NUL first\nmid\0dle\r\nlone\rcr\n"s},
      {"dot", ".\r\n"},
      {"mail", "Subject: x\r\n\r\n.\r\nbody\n\nend"},
  };
  std::string client = login;
  for (std::size_t i = 1; i <= messages.size(); ++i) {
    client +=
        "RETR " + std::to_string(i) + "\r\nTOP " + std::to_string(i) + " 18446744073709551615\r\n";
  }
  const session_run result = run(client + "QUIT\r\n");
  ASSERT_EQ(0u, result.output.rfind(greeting + login_ok, 0));
  // Each RETR reply is followed by a TOP reply of the same bytes.
  std::string_view rest(result.output);
  rest.remove_prefix(greeting.size() + login_ok.size());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE(messages[i].name);
    const std::size_t retr_end = rest.find("\r\n.\r\n") + 5;
    ASSERT_LE(retr_end, rest.size());
    const std::string_view retr = rest.substr(0, retr_end);
    rest.remove_prefix(retr_end);
    EXPECT_TRUE(same_bytes(retr, rest.substr(0, retr.size())));
    rest.remove_prefix(retr.size());
  }
  EXPECT_EQ("+OK\r\n", rest);
  EXPECT_EQ(logged_login(5) + logged_update(0), result.log);
}

TEST_F(Pop3Session, TopFailsAsRetrFails) {
  options.top = true;
  // A message of 1 MB, so that its transmission cannot fit into the pipe before the client closes
  // it.
  std::string big = "Subject: big\n\n";
  while (big.size() < 1024 * 1024) {
    big += std::string(78, 'b') + "\r\n";
  }
  messages = {{"m1", big}, {"m2", "two\n"}};
  const std::size_t after_login = greeting.size() + login_ok.size();
  const struct {
    const char* what;
    std::function<void()> on_pause;
    bool close_output;
    std::string output;  // after the login
    int status;
    log_lines log;
  } cases[] = {
      {"a file that is gone", [this] { std::filesystem::remove(path_of("m1")); }, false,
       "-ERR cannot open message\r\n+OK\r\n+OK\r\n", exit_status_ok,
       logged_login(2) + logged_cannot_open(path_of("m1")) + logged_update(1)},
      {"a file that cannot be read",
       [this] {
         std::filesystem::remove(path_of("m1"));
         std::filesystem::create_symlink("/proc/self/mem", path_of("m1"));
       },
       false, "+OK\r\n", exit_status_session_failed,
       logged_login(2) + logged_cannot_send(path_of("m1"))},
      {"a client that goes away", [] {}, true, "", exit_status_session_failed,
       logged_login(2) + logged_cannot_send(path_of("m1")) + logged_output_error},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    transcript_client client;
    client.first = login;
    client.pause_at = after_login;
    client.on_pause = c.on_pause;
    client.close_output = c.close_output;
    client.rest = "TOP 1 18446744073709551615\r\nDELE 2\r\nQUIT\r\n";
    const session_run result = run(client);
    EXPECT_EQ(greeting + login_ok + c.output, result.output);
    EXPECT_EQ(c.status, result.status);
    EXPECT_EQ(c.log, result.log);
    if (c.status != exit_status_ok) {
      EXPECT_EQ((lines{"m1", "m2"}), result.remaining);
    }
  }
}

TEST_F(Pop3Session, LongListingsLeaveWhole) {
  // Long names (up to the 70 bytes of a unique id) make UIDL fill more than one output block; LIST
  // takes the same path.
  constexpr int count = 1200;
  for (int i = 0; i < count; ++i) {
    messages.push_back(
        {std::to_string(100000 + i) + std::string(40 + i % 25, 'n'), std::string(i % 50, 'z')});
  }
  std::string list = "+OK\r\n";
  std::string uidl = "+OK\r\n";
  for (int i = 0; i < count; ++i) {
    if (i == 1) {
      continue;  // deleted below
    }
    const std::string number = std::to_string(i + 1);
    list += number + " " + std::to_string(messages[i].content.size()) + "\r\n";
    uidl += number + " " + messages[i].name + "\r\n";
  }
  list += ".\r\n";
  uidl += ".\r\n";
  ASSERT_GT(uidl.size(), 64u * 1024);
  const session_run result = run(login + "DELE 2\r\nLIST\r\nUIDL\r\nRSET\r\nQUIT\r\n");
  EXPECT_TRUE(
      same_bytes(greeting + login_ok + "+OK\r\n" + list + uidl + "+OK\r\n+OK\r\n", result.output));
  EXPECT_EQ(exit_status_ok, result.status);
  EXPECT_EQ(logged_login(count) + logged_update(0), result.log);
}

TEST_F(Pop3Session, FileNamesCanForgeNeitherRepliesNorLogLines) {
  // A mailbox's owner names files as they like. A name with line ends must not end a listing
  // early or plant a reply, and must not write lines of its own into the log.
  const std::string evil = "evil\r\n.\r\n+OK 2 forged-reply\r\n";
  messages = {{evil, "x\n"}, {"plain", "y\n"}};
  const std::string uidl_head = greeting + login_ok + "+OK\r\n1 ";
  transcript_client client;
  client.first = login + "UIDL\r\nUIDL 1\r\n";
  // The id of a derived name has 26 characters: the listing and the single reply.
  client.pause_at = uidl_head.size() + 26 + 2 + 9 + 3 + 6 + 26 + 2;
  client.on_pause = [this, &evil] { ASSERT_EQ(0, ::unlink(path_of(evil).c_str())); };
  client.rest = "RETR 1\r\nQUIT\r\n";
  const session_run result = run(client);
  ASSERT_EQ(0u, result.output.rfind(uidl_head, 0)) << result.output;
  const std::string id = result.output.substr(uidl_head.size(), 26);
  EXPECT_EQ(0u, id.rfind("fernd-uid-", 0)) << id;
  EXPECT_TRUE(same_bytes(uidl_head + id + "\r\n2 plain\r\n.\r\n+OK 1 " + id + "\r\n" +
                             "-ERR cannot open message\r\n+OK\r\n",
                         result.output));
  EXPECT_EQ(logged_login(2) + logged_cannot_open(box.path + "/new/evil??.??+OK 2 forged-reply??") +
                logged_update(0),
            result.log);
}

TEST_F(Pop3Session, UpdatePhaseUnlinksMarkedMessagesAfterQuit) {
  messages = {{"m1", "one\n"}, {"m2", "two\n"}, {"m3", "three\n"}};
  const session_run result = run(login + "DELE 1\r\nDELE 3\r\nQUIT\r\n");
  EXPECT_EQ(greeting + login_ok + "+OK\r\n+OK\r\n+OK\r\n", result.output);
  EXPECT_EQ(exit_status_ok, result.status);
  EXPECT_EQ(logged_login(3) + logged_update(2), result.log);
  EXPECT_EQ(lines{"m2"}, result.remaining);
}

TEST_F(Pop3Session, VanishedMessageCannotBeOpenedButCountsAsDeleted) {
  messages = {{"m1", "one\n"}, {"m2", "two\n"}};
  transcript_client client;
  client.first = login;
  client.pause_at = greeting.size() + login_ok.size();
  client.on_pause = [this] { EXPECT_EQ(0, ::unlink(path_of("m1").c_str())); };
  client.rest = "RETR 1\r\nDELE 1\r\nDELE 2\r\nQUIT\r\n";
  const session_run result = run(client);
  EXPECT_EQ(greeting + login_ok + "-ERR cannot open message\r\n+OK\r\n+OK\r\n+OK\r\n",
            result.output);
  EXPECT_EQ(exit_status_ok, result.status);
  EXPECT_EQ(logged_login(2) + logged_cannot_open(path_of("m1")) + logged_update(2), result.log);
  EXPECT_EQ(lines{}, result.remaining);
}

TEST_F(Pop3Session, InputErrorsEndTheSessionWithoutUpdate) {
  messages = {{"m1", "one\n"}, {"m2", "two\n"}};
  const std::string x1022(1022, 'x');
  const std::string x1023(1023, 'x');
  expect_dialogues(
      *this,
      {
          {"", "", 1, logged_session_start + logged_input_error},
          {"NOOP", "", 1, logged_session_start + logged_input_error},
          {"QUIT", "", 1, logged_session_start + logged_input_error},
          {x1023 + "\r\n", "", 1, logged_session_start + logged_input_error},
          {x1022 + "\r\n", "", 1, logged_session_start + logged_input_error},
          {x1022 + "\n", not_understood, 1, logged_session_start + logged_input_error},
          {"\0QUIT\r\n"s, "", 1, logged_session_start + logged_input_error},
          {"USER alice\r\n", "+OK\r\n", 1,
           logged_session_start + logged_user_accepted + logged_input_error},
          {"USER alice\r\nPASS sec", "+OK\r\n", 1,
           logged_session_start + logged_user_accepted + logged_input_error},
          {"USER alice\r\nPASS bad\r\n", "+OK\r\n-ERR authorization failed\r\n", 2,
           logged_session_start + logged_user_accepted + logged_invalid_credentials("alice") +
               logged_input_error},
          {"USER alice\r\nPASS bad\r\nNOOP\r\n" + x1023 + "\n",
           "+OK\r\n-ERR authorization failed\r\n" + not_understood, 2,
           logged_session_start + logged_user_accepted + logged_invalid_credentials("alice") +
               logged_input_error},
          {login + "DELE 1\r\nDELE 2\r\n", login_ok + "+OK\r\n+OK\r\n", 1,
           logged_login(2) + logged_input_error},
          {login + "DELE 1\r\nQUI", login_ok + "+OK\r\n", 1, logged_login(2) + logged_input_error},
          {login + "DELE 1\r\n" + x1023 + "\nQUIT\r\n", login_ok + "+OK\r\n", 1,
           logged_login(2) + logged_input_error},
      });
  EXPECT_EQ((lines{"m1", "m2"}), remaining_names());
}

TEST_F(Pop3Session, OutputErrors) {
  // A message of 1 MB, so that its transmission cannot fit into the pipe before the client closes
  // it.
  std::string big;
  while (big.size() < 1024 * 1024) {
    big += std::string(78, 'b') + "\r\n";
  }
  messages = {{"m1", big}, {"m2", "two\n"}};
  const std::size_t after_login = greeting.size() + login_ok.size();
  const struct {
    std::string first;
    std::size_t pause_at;
    std::string rest;
    int status;
    log_lines log;
  } cases[] = {
      // A failed write is found before the session reads the next command, and logged once.
      {"", greeting.size(), "NOOP\r\n", 1, logged_session_start + logged_output_error},
      // Sent together, the QUIT is never run: the NOOP's reply fails before it is read.
      {login, after_login, "NOOP\r\nQUIT\r\n", 1, logged_login(2) + logged_output_error},
      {"USER alice\r\nPASS bad\r\n", greeting.size() + 5 + 27, "NOOP\r\n", 2,
       logged_session_start + logged_user_accepted + logged_invalid_credentials("alice") +
           logged_output_error},
      // QUIT in the authorization phase does not look at the output.
      {"", greeting.size(), "QUIT\r\n", 0, logged_session_start + logged_session_quit},
      {login + "DELE 1\r\n", after_login + 5, "NOOP\r\n", 1, logged_login(2) + logged_output_error},
      // The reply to QUIT did not leave: no update phase.
      {login + "DELE 1\r\n", after_login + 5, "QUIT\r\n", 1,
       logged_login(2) + logged_transaction_end + logged_output_error},
      // The transmission fails half way: no ".\r\n", no update.
      {login + "DELE 2\r\nRETR 1\r\n", after_login + 10, "QUIT\r\n", 1,
       logged_login(2) + logged_cannot_send(path_of("m1")) + logged_output_error},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    transcript_client client;
    client.first = cases[i].first;
    client.pause_at = cases[i].pause_at;
    client.close_output = true;
    client.rest = cases[i].rest;
    const session_run result = run(client);
    EXPECT_EQ(cases[i].status, result.status);
    EXPECT_EQ(cases[i].log, result.log);
    EXPECT_EQ(cases[i].pause_at, result.output.size());
    EXPECT_EQ((lines{"m1", "m2"}), result.remaining);
  }
}

TEST_F(Pop3Session, WriteErrorInALongListingEndsTheSessionThere) {
  // A UIDL listing far larger than the pipe and the output buffer together: the client reads the
  // start of it and goes away. The listing stops at the write that fails, and the commands sent
  // after it are never run: nothing is deleted.
  // Names of 70 bytes, the longest that are their own unique ids.
  for (int i = 0; i < 3000; ++i) {
    messages.push_back({std::to_string(100000 + i) + std::string(64, 'n'), "x\n"});
  }
  transcript_client client;
  client.first = login + "UIDL\r\nDELE 1\r\nDELE 2\r\nQUIT\r\n";
  client.pause_at = greeting.size() + login_ok.size() + 1000;
  client.close_output = true;
  const session_run result = run(client);
  EXPECT_EQ(exit_status_session_failed, result.status);
  EXPECT_EQ(logged_login(3000) + logged_output_error, result.log);
  EXPECT_EQ(*client.pause_at, result.output.size());
  EXPECT_EQ(3000u, result.remaining.size());
}

TEST_F(Pop3Session, MessageThatOpensButCannotBeReadEndsTheSession) {
  messages = {{"m1", "one\n"}, {"m2", "two\n"}};
  transcript_client client;
  client.first = login;
  client.pause_at = greeting.size() + login_ok.size();
  // A regular file whose every read fails: this process's memory at address 0.
  client.on_pause = [this] {
    std::filesystem::remove(path_of("m1"));
    std::filesystem::create_symlink("/proc/self/mem", path_of("m1"));
  };
  client.rest = "RETR 1\r\nQUIT\r\n";
  const session_run result = run(client);
  EXPECT_EQ(greeting + login_ok + "+OK\r\n", result.output);
  EXPECT_EQ(exit_status_session_failed, result.status);
  EXPECT_EQ(logged_login(2) + logged_cannot_send(path_of("m1")), result.log);
}

TEST_F(Pop3Session, RetrRefusesWhatIsNoLongerARegularFile) {
  // The snapshot saw regular files, but message 1 is replaced before RETR. A FIFO would block the
  // open for ever, /dev/zero would stream without end: each is answered like a file that does not
  // open, and the session goes on.
  messages = {{"m1", "one\n"}, {"m2", "two\n"}};
  const std::string fifo_elsewhere = shadow_box.path + "/fifo";
  ASSERT_EQ(0, ::mkfifo(fifo_elsewhere.c_str(), 0600));
  for (const not_regular_file& c : not_regular_files(fifo_elsewhere)) {
    SCOPED_TRACE(c.what);
    transcript_client client;
    client.first = login;
    client.pause_at = greeting.size() + login_ok.size();
    client.on_pause = [&] {
      std::filesystem::remove(path_of("m1"));
      c.make(path_of("m1"));
    };
    client.rest = "RETR 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n";
    const session_run result = run(client);
    EXPECT_EQ(greeting + login_ok + "-ERR cannot open message\r\n+OK\r\ntwo\r\n.\r\n+OK\r\n+OK\r\n",
              result.output);
    EXPECT_EQ(exit_status_ok, result.status);
    EXPECT_EQ(logged_login(2) + logged_cannot_open(path_of("m1")) + logged_update(1), result.log);
  }
}

TEST_F(Pop3Session, AfterALoginOnlyItsOwnPasswordIsLeft) {
  // The accounts are alice, bob and a second alice. A login needs no other password again; a
  // session that has not logged in may still need any of them.
  const struct {
    std::string client;
    lines passwords;
  } cases[] = {
      {login + "QUIT\r\n", {"secret", "", ""}},
      {"USER bob\r\nPASS pw  \r\nQUIT\r\n", {"", "pw  ", ""}},
      {"USER alice\r\nPASS other\r\nQUIT\r\n", {"secret", "pw  ", "other"}},
      {"USER bob\r\nQUIT\r\n", {"secret", "pw  ", "other"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.client);
    EXPECT_EQ(c.passwords, run(c.client).passwords);
  }
}

TEST_F(Pop3Session, PasswordIsWipedFromTheConnectionRightAfterTheCheck) {
  // The session runs in a child on a connection that lies in memory shared with this process, so
  // the test reads the very bytes the session holds. Right after the check, right or wrong, none
  // of them is the password; the STAT sent with it is still answered. When the connection ends,
  // nothing the client sent or was sent is left.
  messages = {{"m1", "one\n"}};
  fill_mailbox();
  const struct {
    std::string password;
    std::string replies;
  } cases[] = {
      {"secret", "+OK\r\n+OK\r\n+OK 1 4\r\n"},
      {"wrong guess", "+OK\r\n-ERR authorization failed\r\n" + not_understood},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.password);
    void* const shared = ::mmap(nullptr, sizeof(connection), PROT_READ | PROT_WRITE,
                                MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, shared);
    int ends[2] = {-1, -1};
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends));
    unique_fd client(ends[0]);
    child_process session = child_start([&] {
      client.reset();
      auto* session_client = new (shared) connection(ends[1], ends[1]);
      account_list own = accounts;
      session_log nowhere;
      (void)pop3_session(&nowhere, *session_client, own, false);
      session_client->~connection();
      return 0;
    });
    (void)::close(ends[1]);
    ASSERT_GT(session.pid, 0);
    const std::string_view memory(static_cast<const char*>(shared), sizeof(connection));

    send_all(client.fd, "USER alice\r\nPASS " + c.password + "\r\nSTAT\r\n");
    // The replies leave when the session waits for the next command, after the check. The
    // ceiling is only reached when the session hangs.
    EXPECT_EQ(greeting + c.replies, read_exactly(client.fd, greeting.size() + c.replies.size(),
                                                 std::chrono::seconds(60)));
    EXPECT_EQ(std::string_view::npos, memory.find(c.password));
    EXPECT_NE(std::string_view::npos, memory.find("STAT")) << "not the session's live buffer";

    send_all(client.fd, "QUIT\r\n");
    const int status = child_wait(&session);
    EXPECT_EQ(0, child_exit_status(status)) << status;
    for (const std::string_view gone : {"STAT", "QUIT", "USER alice", "+OK", "alice"}) {
      EXPECT_EQ(std::string_view::npos, memory.find(gone)) << gone;
    }
    EXPECT_EQ(0, ::munmap(shared, sizeof(connection)));
  }
}

// Holds alice's mailbox from a child process until the parent lets it go. Record locks belong to
// a process, so only another process can show that a held mailbox is refused.
struct mailbox_holder {
  child_process child;
  unique_fd release;  // closing it ends the child

  explicit mailbox_holder(const std::string& maildir) {
    int ready[2] = {-1, -1};
    int hold[2] = {-1, -1};
    EXPECT_EQ(0, ::pipe(ready));
    EXPECT_EQ(0, ::pipe(hold));
    child = child_start([&] {
      ::close(ready[0]);
      ::close(hold[1]);
      maildir_snapshot snapshot;
      const char locked = maildir_open(&snapshot, maildir.c_str()) ? 'y' : 'n';
      (void)::write(ready[1], &locked, 1);
      char byte = 0;
      (void)::read(hold[0], &byte, 1);  // returns when the parent closes its end
      return 0;
    });
    ::close(ready[1]);
    ::close(hold[0]);
    release.reset(hold[1]);
    char locked = 0;
    EXPECT_EQ(1, ::read(ready[0], &locked, 1));
    EXPECT_EQ('y', locked);
    ::close(ready[0]);
  }

  /// Lets the child go and reaps it; fails the calling test unless it exited with 0.
  void stop() {
    release.reset();
    if (!child.reaped) {
      EXPECT_EQ(0, child_exit_status(child_wait(&child)));
    }
  }
};

TEST_F(Pop3Session, MailboxHeldByAnotherProcessIsRefused) {
  messages = {{"m1", "one\n"}};
  mailbox_holder holder(box.path);
  const session_run refused = run(login + "USER bob\r\nPASS pw  \r\nQUIT\r\n");
  EXPECT_EQ(greeting + "+OK\r\n-ERR cannot access mailbox\r\n" + login_ok + "+OK\r\n",
            refused.output);
  EXPECT_EQ(exit_status_ok, refused.status);
  EXPECT_EQ(logged_session_start + logged_user_accepted + logged_mailbox_refused("alice") +
                logged_user_accepted + logged_authorized("bob", 0) + logged_update(0),
            refused.log);

  holder.stop();
  const session_run accepted = run(login + "QUIT\r\n");
  EXPECT_EQ(greeting + login_ok + "+OK\r\n", accepted.output);
  EXPECT_EQ(logged_login(1) + logged_update(0), accepted.log);
}

TEST_F(Pop3Session, ResponseCodesOnlyWithTheOption) {
  // With --resp-codes a refusal after PASS says why: a wrong password, a mailbox that another
  // session holds, a mailbox that cannot be opened. Without it every byte stays as it was. CAPA
  // lists each capability once, in one order, whatever the options.
  messages = {{"m1", "one\n"}};
  accounts.push_back({"carol", "c", box.path + "/absent"});
  mailbox_holder holder(bob_box.path);
  const std::string client =
      "CAPA\r\nUSER alice\r\nPASS wrong\r\nUSER bob\r\nPASS pw  \r\nUSER carol\r\nPASS c\r\n"
      "QUIT\r\n";
  const struct {
    bool top;
    bool resp_codes;
    std::string capa;
    std::string refusals;
  } cases[] = {
      {false, false, "+OK\r\nUSER\r\nUIDL\r\n.\r\n",
       "-ERR authorization failed\r\n+OK\r\n-ERR cannot access mailbox\r\n+OK\r\n"
       "-ERR cannot access mailbox\r\n"},
      {true, false, "+OK\r\nUSER\r\nTOP\r\nUIDL\r\n.\r\n",
       "-ERR authorization failed\r\n+OK\r\n-ERR cannot access mailbox\r\n+OK\r\n"
       "-ERR cannot access mailbox\r\n"},
      {false, true, "+OK\r\nUSER\r\nUIDL\r\nRESP-CODES\r\nAUTH-RESP-CODE\r\n.\r\n",
       "-ERR [AUTH] authorization failed\r\n+OK\r\n-ERR [IN-USE] mailbox in use by another "
       "session\r\n+OK\r\n-ERR [SYS/TEMP] cannot access mailbox\r\n"},
      {true, true, "+OK\r\nUSER\r\nTOP\r\nUIDL\r\nRESP-CODES\r\nAUTH-RESP-CODE\r\n.\r\n",
       "-ERR [AUTH] authorization failed\r\n+OK\r\n-ERR [IN-USE] mailbox in use by another "
       "session\r\n+OK\r\n-ERR [SYS/TEMP] cannot access mailbox\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "top " << c.top << ", resp-codes " << c.resp_codes);
    options.top = c.top;
    options.resp_codes = c.resp_codes;
    const session_run result = run(client);
    EXPECT_TRUE(same_bytes(greeting + c.capa + "+OK\r\n" + c.refusals + "+OK\r\n", result.output));
    // The log and the status do not depend on the option.
    EXPECT_EQ(exit_status_auth_failed, result.status);
    EXPECT_EQ(logged_session_start + logged_user_accepted + logged_invalid_credentials("alice") +
                  logged_user_accepted + logged_mailbox_refused("bob") + logged_user_accepted +
                  log_lines{"error: cannot open maildir " + box.path +
                            "/absent: No such file or directory"} +
                  logged_mailbox_refused("carol") + log_lines{"info: client ended session"},
              result.log);
  }
}

TEST_F(Pop3Session, AChangeToTheMailboxUserThatFailsEndsTheSessionWithoutALockFile) {
  // alice's Maildir is nobody's: as root the session becomes nobody before it opens anything in
  // it. When any step of that change fails or lies, the session ends at once, and bob's login
  // after it is never run: the process may hold some of nobody's ids.
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root becomes a mailbox's user";
  }
  constexpr uid_t nobody = 65534;
  messages = {{"m1", "one\n"}};
  fill_mailbox();
  for (const std::string& path : {box.path, box.path + "/new", path_of("m1")}) {
    ASSERT_EQ(0, ::chown(path.c_str(), nobody, nobody)) << path;
  }
  const std::string client = login + "USER bob\r\nPASS pw  \r\nQUIT\r\n";
  const std::string refused = "abort: cannot become user nobody: Operation not permitted";
  const struct {
    std::optional<identity_fault> fault;
    std::string replies;
    std::string outcome;
  } cases[] = {
      {std::nullopt, login_ok + not_understood + not_understood + "+OK\r\n", "logged in"},
      {identity_fault::setgroups_fails, "+OK\r\n-ERR cannot access mailbox\r\n", refused},
      {identity_fault::setresgid_fails, "+OK\r\n-ERR cannot access mailbox\r\n", refused},
      {identity_fault::setresuid_fails, "+OK\r\n-ERR cannot access mailbox\r\n", refused},
      {identity_fault::setresuid_changes_nothing, "+OK\r\n-ERR cannot access mailbox\r\n", refused},
      {identity_fault::setuid_root_succeeds, "+OK\r\n-ERR cannot access mailbox\r\n", refused},
  };
  // The log lies in root's directory: a session of root follows no path that nobody controls to
  // its log.
  const temp_maildir logs;
  const std::string log_path = logs.path + "/session.log";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outcome + (c.fault ? " " + std::to_string(static_cast<int>(*c.fault)) : ""));
    std::filesystem::remove(box.path + "/fernd.lock");
    write_file(log_path, "");
    // The session changes the identity of its process for good: it runs in a child, which
    // reports its process id and the client's bytes.
    const child_outcome outcome = run_in_child([&] {
      std::optional<failing_identity> armed;
      if (c.fault) {
        armed.emplace(*c.fault);
      }
      session_log log;
      log_open(false, log_path.c_str(), &log);
      transcript_client script;
      script.first = client;
      const transcript_result result = transcript_run(script, &log, accounts, false);
      log_close(&log);
      std::fprintf(stderr, "%d\n%s", static_cast<int>(::getpid()), result.output.c_str());
    });
    EXPECT_EQ(child_returned_status, child_exit_status(outcome.wait_status));
    const std::size_t line_end = outcome.err.find('\n');
    ASSERT_NE(std::string::npos, line_end) << outcome.err;
    EXPECT_EQ(greeting + c.replies, outcome.err.substr(line_end + 1));
    const log_lines logged = log_lines_read(log_path, std::stoi(outcome.err.substr(0, line_end)));
    std::string last = logged.empty() ? "" : logged.back();
    if (last == "info: 0 mails deleted in update phase; session ends") {
      last = "logged in";
    } else if (logged.size() >= 3 &&
               last == "error: the process acts for the mailbox's user, session aborted") {
      last = "abort: " + logged[logged.size() - 3].substr(
                             std::string("error: cannot open maildir " + box.path + ": ").size());
    }
    EXPECT_EQ(c.outcome, last) << testing::PrintToString(logged);
    EXPECT_EQ(!c.fault, std::filesystem::exists(box.path + "/fernd.lock"));
  }
}

TEST_F(Pop3Session, PasswordChecksWaitAfterAFailureOrWhenAsked) {
  // The only test that measures the pause. The pauses are counted; their length only has a
  // lower bound, as a busy machine may stretch it. Each run() runs its session twice.
  using clock = std::chrono::steady_clock;
  struct pause_case {
    const char* what;
    std::string client;
    bool auth_delay;
    long pauses;  // per session
    std::string output;
    int status;
    log_lines log;
  };
  const std::string retry = "USER alice\r\nPASS bad\r\n" + login + "QUIT\r\n";
  const pause_case cases[] = {
      {"a first check with no delay asked", login + "QUIT\r\n", false, 0,
       greeting + login_ok + "+OK\r\n", exit_status_ok, logged_login(0) + logged_update(0)},
      // The first check does not wait; the one after the failure does.
      {"a check after a failed one", retry, false, 1,
       greeting + "+OK\r\n-ERR authorization failed\r\n" + login_ok + "+OK\r\n",
       // A failed check makes the status 2, even when a later login ends with QUIT.
       exit_status_auth_failed,
       logged_session_start + logged_user_accepted + logged_invalid_credentials("alice") +
           logged_user_accepted + logged_authorized("alice", 0) + logged_update(0)},
      {"a first check with the delay asked", login + "QUIT\r\n", true, 1,
       greeting + login_ok + "+OK\r\n", exit_status_ok, logged_login(0) + logged_update(0)},
  };
  for (const pause_case& c : cases) {
    SCOPED_TRACE(c.what);
    const long pauses_before = pause_count();
    const clock::time_point started = clock::now();
    const session_run result = run(c.client, c.auth_delay);
    const clock::duration took = clock::now() - started;
    EXPECT_EQ(2 * c.pauses, pause_count() - pauses_before);
    EXPECT_GE(took, std::chrono::seconds(2 * c.pauses));
    EXPECT_EQ(c.output, result.output);
    EXPECT_EQ(c.status, result.status);
    EXPECT_EQ(c.log, result.log);
  }
}

// ---- the command table's arguments ----

TEST(ParseMsgnum, Samples) {
  struct msgnum_case {
    std::string text;
    int result;
    std::uint64_t number;  // checked only when valid
  };
  const msgnum_case cases[] = {
      {"1", 0, 1},
      {"2", 0, 2},
      {"007", 0, 7},
      {"18446744073709551615", 0, UINT64_MAX},
      {"000000000000000000000018446744073709551615", 0, UINT64_MAX},
      {"18446744073709551616", 1, 0},
      {"99999999999999999999999", 1, 0},
      {"0", 1, 0},
      {"000", 1, 0},
      {"-1", 1, 0},
      {"+1", 1, 0},
      {"x", 1, 0},
      {" 1", 1, 0},
      {"1 ", 1, 0},
      {"1x", 1, 0},
      {"1\r", 1, 0},
      {"", 1, 0},
      {"\377", 1, 0},
      {"\t1", 1, 0},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].text);
    const std::optional<std::uint64_t> number = parse_msgnum(cases[i].text);
    EXPECT_EQ(cases[i].result == 0, number.has_value());
    if (cases[i].result == 0 && number) {
      EXPECT_EQ(cases[i].number, *number);
    }
  }
}

TEST(ParseMsgnum, IgnoresAnEarlierErrno) {
  errno = ERANGE;
  EXPECT_EQ(5u, parse_msgnum("5"));
}

TEST(ParseMsgnum, ReadsOnlyTheTextItIsGiven) {
  // A number is read from the view alone, never past its end.
  const std::string line = "12345";
  EXPECT_EQ(12u, parse_msgnum(std::string_view(line).substr(0, 2)));
}

TEST(ParseTopArguments, Samples) {
  struct top_case {
    std::string text;
    int result;
    std::uint64_t number;  // both checked only when valid
    std::uint64_t lines;
  };
  const top_case cases[] = {
      {"1 0", 0, 1, 0},
      {"2 15", 0, 2, 15},
      {"007 000", 0, 7, 0},
      {"18446744073709551615 18446744073709551615", 0, UINT64_MAX, UINT64_MAX},
      {"1 000000000000000000000018446744073709551615", 0, 1, UINT64_MAX},
      {"1 18446744073709551616", 1, 0, 0},
      {"18446744073709551616 1", 1, 0, 0},
      {"0 1", 1, 0, 0},
      {"1", 1, 0, 0},
      {"1 ", 1, 0, 0},
      {" 1 0", 1, 0, 0},
      {"1  0", 1, 0, 0},
      {"1 0 ", 1, 0, 0},
      {"1 0 3", 1, 0, 0},
      {"1 -1", 1, 0, 0},
      {"1 +1", 1, 0, 0},
      {"-1 0", 1, 0, 0},
      {"+1 0", 1, 0, 0},
      {"1 x", 1, 0, 0},
      {"x 1", 1, 0, 0},
      {"1x 0", 1, 0, 0},
      {"1 0x", 1, 0, 0},
      {"1\t0", 1, 0, 0},
      {"1 0\r", 1, 0, 0},
      {"", 1, 0, 0},
  };
  for (const top_case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<top_arguments> parsed = parse_top_arguments(c.text);
    EXPECT_EQ(c.result == 0, parsed.has_value());
    if (c.result == 0 && parsed) {
      EXPECT_EQ(c.number, parsed->number);
      EXPECT_EQ(c.lines, parsed->lines);
    }
  }
}

}  // namespace
}  // namespace fernd
