// Start-up: the command line into a startup_config (passwords obtained on the way), its checks,
// and the run mode it names: one session on standard input and output, or the listener.
#include "server/startup.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
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

#include "common/diagnostic.h"
#include "common/exit_status.h"
#include "common/limits.h"
#include "common/must_alloc.h"
#include "credentials/password.h"
#include "log/session_log.h"
#include "maildir/maildir.h"
#include "server/listener.h"
#include "server/no_dumps.h"
#include "server/peer_address.h"
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
  option_resp_codes,
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
    {"resp-codes", no_argument, nullptr, option_resp_codes},
    {nullptr, 0, nullptr, 0},
};

/// The host and protocol that a prompted password is asked for. The prompt names the host;
/// the protocol number (POP3) is passed for the password lookup's sake, which does not read it.
constexpr const char* password_host = "localhost";
constexpr int password_protocol_pop3 = 1;

/// Where the system's syslog daemon receives messages.
constexpr const char* syslog_socket = "/dev/log";

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
      diagnostic_print("%s: cannot get password: %s", program,
                       evaluated.error.value_or("").c_str());
      return false;
    }
    password = std::move(evaluated.password);
  } else {
    added.user = must_strdup(argument);
    // Only the prompt: the server never consults netrc files, and a missing terminal simply
    // gives no password.
    password_missing why = password_missing::no_terminal;
    password =
        password_get(password_host, added.user.c_str(), password_protocol_pop3, false, false, &why);
    if (!password) {
      diagnostic_print("%s: cannot get password for (localhost, pop3, %s)", program,
                       added.user.c_str());
      // The line above names what is missing; this one why, and what to do instead.
      if (why == password_missing::no_terminal) {
        diagnostic_print(
            "%s: there is no terminal to ask for it on; give a command that prints it instead: "
            "--auth=%s,COMMAND",
            program, added.user.c_str());
      } else {
        diagnostic_print(
            "%s: input ended at the prompt before the line did; type the password and Enter, or "
            "give a command that prints it: --auth=%s,COMMAND",
            program, added.user.c_str());
      }
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

/// Notes a log file that cannot be used, and where the lines go instead: each session falls back to
/// syslog, which a machine without a syslog daemon (a container, say) does not even keep.
void warn_unusable_log(startup_config* config) {
  if (config->log_file == nullptr) {
    return;
  }
  std::string reason;
  if (log_file_open(config->log_file, &reason).fd >= 0) {
    return;
  }
  std::string warning = std::string("warning: cannot use log file ") + config->log_file + ": " +
                        reason + "; the log goes to syslog instead (facility mail)";
  struct stat status {};
  if (::stat(syslog_socket, &status) != 0 || !S_ISSOCK(status.st_mode)) {
    warning += std::string(", which nothing receives here: there is no ") + syslog_socket;
  }
  config->warnings.push_back(std::move(warning));
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
  std::fputs("  --resp-codes    say in refusals after PASS why ([AUTH], [IN-USE],\n", stdout);
  std::fputs("                  [SYS/TEMP]) and announce RESP-CODES in CAPA\n", stdout);
  std::fputs("Each pair of --auth and --maildir options defines one POP3 mailbox.\n", stdout);
  std::fputs("At least one such pair must be given.\n", stdout);
}

/// What the command line says before it is parsed, read once, silently (the parse reports every
/// error): --inetd and --log may stand after the first --auth, and decide where start-up messages
/// and the passwordeval commands' errors go; a --port or --interface that cannot work must fail
/// before any password is asked for.
struct startup_prescan {
  bool inetd = false;
  const char* log_file = nullptr;
  const char* interface = nullptr;  ///< the last non-empty --interface: the one that counts
  const char* bad_port = nullptr;   ///< the first --port that is no port number
};

startup_prescan startup_scan(int argc, char** argv) {
  startup_prescan found;
  const int report_errors = opterr;
  opterr = 0;
  optind = 0;
  for (int code = 0; code != -1;) {
    code = ::getopt_long(argc, argv, short_options, long_options, nullptr);
    const bool given = optarg != nullptr && optarg[0] != '\0';
    if (code == option_inetd) {
      found.inetd = true;
    } else if (code == option_log) {
      const bool no_file = std::strcmp(optarg, "none") == 0 || std::strcmp(optarg, "syslog") == 0;
      found.log_file = no_file || !given ? nullptr : optarg;
    } else if (code == option_interface && given) {
      found.interface = optarg;
    } else if (code == option_port && given && found.bad_port == nullptr && !parse_port(optarg)) {
      found.bad_port = optarg;
    }
  }
  opterr = report_errors;
  return found;
}

/// Refuses a --port that is no port number, and an --interface that standalone mode cannot listen
/// on (inetd mode listens nowhere and ignores it). Returns false after printing the message.
[[nodiscard]] bool check_addresses(const startup_prescan& scan, const char* program) {
  if (scan.bad_port != nullptr) {
    diagnostic_print("%s: invalid port '%s': a port is a number from 0 to %d", program,
                     scan.bad_port, port_max);
    return false;
  }
  if (!scan.inetd && scan.interface != nullptr && !listener_interface_valid(scan.interface)) {
    diagnostic_print(
        "%s: invalid interface '%s': give an IPv4 or IPv6 address, such as 127.0.0.1 or ::1; "
        "host names are not looked up",
        program, scan.interface);
    return false;
  }
  return true;
}

/// Under a classic inetd, standard error is the client's connection, which must never learn about
/// the set-up: in inetd mode, when standard error is a socket, start-up messages go to syslog
/// instead, and standard error becomes /dev/null, so that nothing else written there (a library's
/// own message) reaches the client either.
void startup_route_messages(const startup_prescan& scan) {
  struct stat status {};
  if (!scan.inetd || ::fstat(STDERR_FILENO, &status) != 0 || !S_ISSOCK(status.st_mode)) {
    return;
  }
  diagnostic_to_syslog();
  const unique_fd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (null.fd >= 0) {
    (void)::dup2(null.fd, STDERR_FILENO);  // the copy is not close-on-exec
  }
}

/// Where the passwordeval commands write their errors. Under a classic inetd, standard error is
/// the client's connection, which must never receive them: in inetd mode they go to the log file
/// when --log names one, else to /dev/null. Otherwise they go to fernd's own standard error, as
/// its start-up messages do. Returns false after a start-up message when not even /dev/null opens.
[[nodiscard]] bool startup_password_stderr(const char* program, const startup_prescan& scan,
                                           startup_config* config) {
  if (!scan.inetd) {
    return true;
  }
  if (scan.log_file != nullptr) {
    config->password_stderr = log_file_open(scan.log_file);
  }
  if (config->password_stderr.fd < 0) {
    config->password_stderr.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  }
  if (config->password_stderr.fd < 0) {
    diagnostic_print("%s: cannot open /dev/null: %s", program, std::strerror(errno));
    return false;
  }
  return true;
}

/// Parses and checks the command line: returns the exit status when the process is done
/// (version, help, any error), or startup_continue when \a config is ready to be run.
int startup_prepare(int argc, char** argv, const startup_prescan& scan, startup_config* config) {
  if (!startup_password_stderr(program_path(argc, argv), scan, config)) {
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
    diagnostic_print("%s: missing --auth and --maildir option", program);
    return exit_status_fatal;
  }
  bool maildir_missing = false;
  for (const account& each : config->accounts) {
    if (!each.maildir) {
      diagnostic_print("%s: missing --maildir option for user %s", program, each.user.c_str());
      maildir_missing = true;
    }
  }
  if (maildir_missing) {
    return exit_status_fatal;
  }
  warn_empty_passwords(config);
  warn_unusable_maildirs(config);
  warn_unusable_log(config);
  return startup_continue;
}

/// One POP3 session on standard input and output, then the exit status.
int run_inetd(startup_config& config) {
  session_log log;
  log_open(config.log_to_syslog, config.log_file, &log);
  for (const std::string& warning : config.warnings) {
    log_write(&log, log_error, "%s", warning.c_str());
  }
  // The client's address, when inetd passed a socket: for the line that follows a failed login.
  const session_result result = session_serve(&log, STDIN_FILENO, STDOUT_FILENO, config.accounts,
                                              inetd_auth_delay, session_idle_limit,
                                              {.top = config.top,
                                               .resp_codes = config.resp_codes,
                                               .client = peer_address_of_socket(STDIN_FILENO)});
  return session_exit_status(result, session_mode::inetd);
}

}  // namespace

bool parse_command_line(int argc, char** argv, startup_config* config) {
  const char* program = program_path(argc, argv);
  if (!check_addresses(startup_scan(argc, argv), program)) {
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
      diagnostic_print("%s: option '--%s' requires non-empty argument", program,
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
        // check_addresses has let only valid ports through.
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
          diagnostic_print("%s: option '--%s' requires preceding option '--auth'", program,
                           long_options[index].name);
          return false;
        }
        config->accounts.back().maildir = must_strdup(optarg);
        break;
      case option_top:
        config->top = true;
        break;
      case option_resp_codes:
        config->resp_codes = true;
        break;
      default:
        // An unknown option or a missing argument: getopt_long has already said so, unless what
        // it wrote went nowhere (startup_route_messages).
        if (diagnostic_in_syslog() && optind > 0 && optind <= argc) {
          diagnostic_print("%s: invalid option or missing argument: '%s'", program,
                           argv[optind - 1]);
        }
        return false;
    }
  }
  if (optind < argc) {
    diagnostic_print("%s: too many arguments", program);
    return false;
  }
  return true;
}

int fernd_main(int argc, char** argv) {
  const startup_prescan scan = startup_scan(argc, argv);
  startup_route_messages(scan);
  // Before the first password is read, and so for every session process forked later.
  if (!no_dumps_apply()) {
    diagnostic_print("%s: cannot disable core dumps: %s", program_path(argc, argv),
                     std::strerror(errno));
    return exit_status_fatal;
  }
  startup_config config;
  int status = startup_continue;
  try {
    status = startup_prepare(argc, argv, scan, &config);
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
    diagnostic_print("%s: %s", program_path(argc, argv), warning.c_str());
  }
  // The listener returns only when it failed, after reporting why.
  return listener_run(program_path(argc, argv), config);
}

}  // namespace fernd
