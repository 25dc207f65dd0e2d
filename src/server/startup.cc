// Start-up: the command line into a startup_config (passwords obtained on the way), its checks,
// and the run mode it names: one session on standard input and output, or the listener.
#include "server/startup.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "common/exit_status.h"
#include "common/limits.h"
#include "common/must_alloc.h"
#include "credentials/password.h"
#include "log/session_log.h"
#include "maildir/maildir.h"
#include "server/listener.h"
#include "server/no_dumps.h"
#include "server/session_serve.h"

namespace fernd {
namespace {

/// What getopt_long returns for each option. Above every character value, so that none of them
/// can be mistaken for getopt's own '?' and ':'.
enum option_code : int {
  option_version = 256,
  option_help,
  option_inetd,
  option_port,
  option_interface,
  option_log,
  option_auth,
  option_maildir,
  option_top,
};

// Only long options exist: the matching short-option string is empty.
constexpr const char* short_options = "";

constexpr option long_options[] = {
    {"version", no_argument, nullptr, option_version},
    {"help", no_argument, nullptr, option_help},
    {"inetd", no_argument, nullptr, option_inetd},
    {"port", required_argument, nullptr, option_port},
    {"interface", required_argument, nullptr, option_interface},
    {"log", required_argument, nullptr, option_log},
    {"auth", required_argument, nullptr, option_auth},
    {"maildir", required_argument, nullptr, option_maildir},
    {"top", no_argument, nullptr, option_top},
    {nullptr, 0, nullptr, 0},
};

/// The host and protocol that a prompted password is asked for. The prompt names the host;
/// the protocol number (POP3) is passed for the password lookup's sake, which does not read it.
constexpr const char* password_host = "localhost";
constexpr int password_protocol_pop3 = 1;

/// Start-up checks passed: the caller goes on to run the configured mode.
constexpr int startup_continue = -1;

/// The program path as every start-up message names it: argument zero, unshortened.
const char* program_path(int argc, char** argv) {
  // A process may be started with no arguments at all; the messages still need a name.
  return argc > 0 && argv[0] != nullptr ? argv[0] : "fernd";
}

/// The largest TCP port number.
constexpr int port_max = 65535;

/// --port's argument as a port: decimal digits only, 0 to 65535 (0 lets the system choose). None
/// for anything else, which would otherwise bind a port that nobody asked for.
std::optional<int> parse_port(const char* text) {
  const char* end = text + std::strlen(text);
  int port = -1;
  const auto [stop, error] = std::from_chars(text, end, port);
  if (text == end || !(*text >= '0' && *text <= '9') || error != std::errc{} || stop != end ||
      port > port_max) {
    return std::nullopt;
  }
  return port;
}

/// Checks every --port of the command line before anything else happens, so that a mistyped port
/// fails before any password is asked for. Returns false after printing the message.
[[nodiscard]] bool check_ports(int argc, char** argv, const char* program) {
  const int saved_opterr = opterr;
  opterr = 0;  // the real pass reports everything else
  optind = 0;
  bool valid = true;
  for (;;) {
    const int code = ::getopt_long(argc, argv, short_options, long_options, nullptr);
    if (code == -1) {
      break;
    }
    if (code == option_port && optarg != nullptr && optarg[0] != '\0' && !parse_port(optarg)) {
      std::fprintf(stderr, "%s: invalid port '%s': a port is a number from 0 to %d\n", program,
                   optarg, port_max);
      valid = false;
      break;
    }
  }
  opterr = saved_opterr;
  return valid;
}

/// --auth=user[,passwordeval]: appends the account, obtaining its password first.
[[nodiscard]] bool add_account(const char* program, const char* argument, int password_stderr,
                               account_list* accounts) {
  account added;
  std::optional<std::string> password;
  const char* comma = std::strchr(argument, ',');
  if (comma != nullptr) {
    added.user = must_strndup(argument, static_cast<std::size_t>(comma - argument));
    password_result evaluated = password_eval(comma + 1, password_stderr);
    if (!evaluated.password) {
      std::fprintf(stderr, "%s: cannot get password: %s\n", program,
                   evaluated.error.value_or("").c_str());
      return false;
    }
    password = std::move(evaluated.password);
  } else {
    added.user = must_strdup(argument);
    // Only the prompt: the server never consults netrc files, and a missing terminal simply
    // gives no password.
    password =
        password_get(password_host, added.user.c_str(), password_protocol_pop3, false, false);
    if (!password) {
      std::fprintf(stderr, "%s: cannot get password for (localhost, pop3, %s)\n", program,
                   added.user.c_str());
      return false;
    }
  }
  added.password = std::move(*password);
  accounts->push_back(std::move(added));
  return true;
}

/// Notes the accounts whose password is empty: anyone who knows the user name can log in.
void warn_empty_passwords(startup_config* config) {
  for (const account& each : config->accounts) {
    if (each.password.empty()) {
      config->warnings.push_back("warning: the password for user " + each.user +
                                 " is empty: any client can log in as " + each.user +
                                 " with an empty PASS");
    }
  }
}

/// Notes every maildir that cannot be served as it stands. Not fatal: a maildir may be made after
/// fernd starts. A mistyped path would otherwise only show as a refused login.
void warn_unusable_maildirs(startup_config* config) {
  for (const account& each : config->accounts) {
    maildir_failure failure;
    if (!each.maildir.has_value() || maildir_check(each.maildir->c_str(), &failure)) {
      continue;
    }
    std::string warning = "warning: cannot use maildir " + *each.maildir + " of user " + each.user +
                          ": " + failure.reason.data();
    if (each.maildir->starts_with("~")) {
      warning += " (a ~ is expanded by the shell only at the start of a word)";
    }
    config->warnings.push_back(std::move(warning));
  }
}

void print_version() {
  std::printf("fernd version %s\n", FERND_VERSION);
  std::fputs(
      "Copyright (C) 2026 The fernd developers.\n"
      "fernd is free software under the MIT License; see the file LICENSE.\n"
      "You may use, copy, modify and distribute it under those terms.\n"
      "There is NO WARRANTY, to the extent permitted by law.\n",
      stdout);
}

void print_help() {
  std::fputs("Usage: fernd [option...]\n", stdout);
  std::fputs("Options:\n", stdout);
  std::fputs("  --version       print version\n", stdout);
  std::fputs("  --help          print help\n", stdout);
  std::fputs("  --inetd         start single POP3 session on stdin/stdout\n", stdout);
  std::printf("  --interface=ip  listen on ip instead of %s\n", startup_default_interface);
  std::printf("  --port=number   listen on port number instead of %d\n", startup_default_port);
  std::fputs("  --log=none|syslog|FILE  do not log anything (default)\n", stdout);
  std::fputs("                  or log to syslog or log to the given file\n", stdout);
  std::fputs("  --auth=user[,passwordeval] require authentication with this user name;\n", stdout);
  std::fputs("                  the password will be retrieved from the given\n", stdout);
  std::fputs("                  passwordeval command or, if none is given, from\n", stdout);
  std::fputs("                  the key ring or, if that fails, from a prompt.\n", stdout);
  std::fputs("  --maildir=dir   use this maildir as mailbox\n", stdout);
  std::fputs("  --top           serve the TOP command and announce it in CAPA\n", stdout);
  std::fputs("Each pair of --auth and --maildir options defines one POP3 mailbox.\n", stdout);
  std::fputs("At least one such pair must be given.\n", stdout);
}

/// Where the passwordeval commands write their errors. Under a classic inetd, standard error is
/// the client's connection, which must never receive them: in inetd mode they go to the log file
/// when --log names one, else to /dev/null. Otherwise they go to fernd's own standard error, as
/// its start-up messages do. --inetd and --log may stand after the first --auth, so the command
/// line is read for them before it is parsed; that reading is silent, the parse reports errors.
/// Returns false after a start-up message when not even /dev/null opens.
[[nodiscard]] bool startup_password_stderr(int argc, char** argv, startup_config* config) {
  bool inetd = false;
  const char* log_file = nullptr;
  const int report_errors = opterr;
  opterr = 0;
  optind = 0;
  for (int code = 0; code != -1;) {
    code = ::getopt_long(argc, argv, short_options, long_options, nullptr);
    if (code == option_inetd) {
      inetd = true;
    } else if (code == option_log) {
      const bool no_file = std::strcmp(optarg, "none") == 0 || std::strcmp(optarg, "syslog") == 0;
      log_file = no_file || optarg[0] == '\0' ? nullptr : optarg;
    }
  }
  opterr = report_errors;
  if (!inetd) {
    return true;
  }
  if (log_file != nullptr) {
    config->password_stderr = log_file_open(log_file);
  }
  if (config->password_stderr.fd < 0) {
    config->password_stderr.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  }
  if (config->password_stderr.fd < 0) {
    std::fprintf(stderr, "%s: cannot open /dev/null: %s\n", program_path(argc, argv),
                 std::strerror(errno));
    return false;
  }
  return true;
}

/// Parses and checks the command line: returns the exit status when the process is done
/// (version, help, any error), or startup_continue when \a config is ready to be run.
int startup_prepare(int argc, char** argv, startup_config* config) {
  if (!startup_password_stderr(argc, argv, config)) {
    return exit_status_fatal;
  }
  const bool parsed = parse_command_line(argc, argv, config);
  // Every password has been obtained: the session needs no descriptor for the commands.
  config->password_stderr.reset();
  if (!parsed) {
    return exit_status_fatal;
  }
  if (config->show_version) {
    print_version();
    return exit_status_ok;
  }
  if (config->show_help) {
    print_help();
    return exit_status_ok;
  }
  const char* program = program_path(argc, argv);
  if (config->accounts.empty()) {
    std::fprintf(stderr, "%s: missing --auth and --maildir option\n", program);
    return exit_status_fatal;
  }
  bool maildir_missing = false;
  for (const account& each : config->accounts) {
    if (!each.maildir) {
      std::fprintf(stderr, "%s: missing --maildir option for user %s\n", program,
                   each.user.c_str());
      maildir_missing = true;
    }
  }
  if (maildir_missing) {
    return exit_status_fatal;
  }
  warn_empty_passwords(config);
  warn_unusable_maildirs(config);
  return startup_continue;
}

/// One POP3 session on standard input and output, then the exit status.
int run_inetd(startup_config& config) {
  session_log log;
  log_open(config.log_to_syslog, config.log_file, &log);
  for (const std::string& warning : config.warnings) {
    log_write(&log, log_error, "%s", warning.c_str());
  }
  const session_result result =
      session_serve(&log, STDIN_FILENO, STDOUT_FILENO, config.accounts, inetd_auth_delay,
                    session_idle_limit, {.top = config.top});
  return session_exit_status(result, session_mode::inetd);
}

}  // namespace

bool parse_command_line(int argc, char** argv, startup_config* config) {
  const char* program = program_path(argc, argv);
  if (!check_ports(argc, argv, program)) {
    return false;
  }
  // Zero, not one: glibc's getopt then starts afresh, also when a test parses a second command
  // line in the same process.
  optind = 0;
  for (;;) {
    int index = -1;
    const int code = ::getopt_long(argc, argv, short_options, long_options, &index);
    if (code == -1) {
      break;
    }
    // getopt_long leaves optarg null for options without an argument.
    if (index >= 0 && optarg != nullptr && optarg[0] == '\0') {
      std::fprintf(stderr, "%s: option '--%s' requires non-empty argument\n", program,
                   long_options[index].name);
      return false;
    }
    switch (code) {
      case option_version:
        config->show_version = true;
        break;
      case option_help:
        config->show_help = true;
        break;
      case option_inetd:
        config->inetd = true;
        break;
      case option_port:
        // check_ports has let only valid ports through.
        config->port = parse_port(optarg).value_or(startup_default_port);
        break;
      case option_interface:
        config->interface = optarg;
        break;
      case option_log:
        if (std::strcmp(optarg, "none") == 0) {
          config->log_to_syslog = false;
          config->log_file = nullptr;
        } else if (std::strcmp(optarg, "syslog") == 0) {
          config->log_to_syslog = true;
          config->log_file = nullptr;
        } else {
          config->log_to_syslog = false;
          config->log_file = optarg;
        }
        break;
      case option_auth:
        if (!add_account(program, optarg, config->password_stderr.fd, &config->accounts)) {
          return false;
        }
        break;
      case option_maildir:
        if (config->accounts.empty()) {
          std::fprintf(stderr, "%s: option '--%s' requires preceding option '--auth'\n", program,
                       long_options[index].name);
          return false;
        }
        config->accounts.back().maildir = must_strdup(optarg);
        break;
      case option_top:
        config->top = true;
        break;
      default:
        // An unknown option or a missing argument: getopt_long has already said so.
        return false;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "%s: too many arguments\n", program);
    return false;
  }
  return true;
}

int fernd_main(int argc, char** argv) {
  // Before the first password is read, and so for every session process forked later.
  if (!no_dumps_apply()) {
    std::fprintf(stderr, "%s: cannot disable core dumps: %s\n", program_path(argc, argv),
                 std::strerror(errno));
    return exit_status_fatal;
  }
  startup_config config;
  int status = startup_continue;
  try {
    status = startup_prepare(argc, argv, &config);
  } catch (const std::bad_alloc&) {
    // Memory exhaustion anywhere in start-up ends the process as the must_* helpers do. No
    // new-handler does this instead: inside a session, running out of memory is an ordinary
    // failure that the mailbox code catches.
    must_die_nomem();
  }
  if (status != startup_continue) {
    return status;
  }
  if (config.inetd) {
    // --interface and --port mean nothing here.
    return run_inetd(config);
  }
  for (const std::string& warning : config.warnings) {
    std::fprintf(stderr, "%s: %s\n", program_path(argc, argv), warning.c_str());
  }
  // The listener returns only when it failed, after reporting why.
  return listener_run(program_path(argc, argv), config);
}

}  // namespace fernd
