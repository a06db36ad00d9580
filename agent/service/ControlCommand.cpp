#include "ControlCommand.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include <cpprest/json.h>

#include "AgentConfig.h"
#include "EventNames.h"

namespace zelvan::fennic::agent {

namespace {

using web::json::value;

const char* kCtlUsage =
    "usage: fennic-agent ctl [--config FILE | --socket PATH] [--wait CODES] [--timeout SECONDS] COMMAND\n"
    "Sends one request to the running agent and prints its answer.\n"
    "  status               last contact with the server, client state, pending downloads, whether\n"
    "                       the last update check failed, the version, the package-signature\n"
    "                       policy and the trusted key ids\n"
    "  heartbeat            a heart beat now\n"
    "  request CODE [FILE]  a host request code (9 forward, 11 CC configuration, 13 get all updates,\n"
    "                       17 transport command, 18 session terminated, 19 transport query, ...)\n"
    "                       with its data read from FILE, or from standard input when FILE is -\n"
    "  --wait CODES         wait for one of these events (comma-separated) and print every event\n"
    "                       raised meanwhile\n"
    "  --timeout SECONDS    how long to wait for them (default 30)\n"
    "  --socket PATH        the control socket (default: \"controlSocket\" of FILE, else\n"
    "                       /run/fennic/agent.sock); --config FILE defaults to /etc/fennic/agent.json\n"
    "Exit codes: 0 done; 1 no agent, a refused request or no awaited event in time; 2 a bad command line.\n";

constexpr const char* kDefaultSocket = "/run/fennic/agent.sock";

struct Options {
  std::string config = kDefaultConfigFile;
  std::string socket;
  std::string command;
  std::string code;
  std::string dataFile;
  value wait = value::array();
  int timeoutSeconds = 30;
};

int Usage(std::ostream& error, const std::string& text) {
  error << "fennic-agent ctl: " << text << " (see fennic-agent ctl --help)\n";
  return 2;
}

bool ParseCodes(const std::string& text, value& codes) {
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item.empty() || item.size() > 4 || item.find_first_not_of("0123456789") != std::string::npos) return false;
    codes[codes.size()] = value::number(std::stoi(item));
  }
  return codes.size() > 0;
}

// The socket named in the configuration file, when it names one; the file
// may well be unreadable to a caller that is only in the control group.
std::string SocketOf(const Options& options) {
  if (!options.socket.empty()) return options.socket;
  std::ifstream in(options.config);
  std::error_code ignored;
  const value document = value::parse(std::string(std::istreambuf_iterator<char>(in), {}), ignored);
  if (!ignored && document.is_object() && document.has_string_field("controlSocket"))
    return document.at("controlSocket").as_string();
  return kDefaultSocket;
}

bool ReadData(const std::string& file, std::string& data) {
  if (file.empty()) return true;
  std::ostringstream text;
  if (file == "-") {
    text << std::cin.rdbuf();
  } else {
    std::ifstream in(file);
    if (!in) return false;
    text << in.rdbuf();
  }
  data = text.str();
  return true;
}

// Sends the line and reads one answer line within `limitMs`; empty text and
// a reason in `failure` when that does not work.
std::string Exchange(const std::string& path, const std::string& line, int limitMs, std::string& failure) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return failure = "socket path too long", "";
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    failure = "no agent is listening on " + path + " (" + std::strerror(errno) + ")";
    ::close(fd);
    return "";
  }
  // A refused peer gets its answer at once and the connection closed, maybe
  // before the request is out: the answer counts, not the failed send.
  const bool sent = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
  const std::string sendError = sent ? "" : std::strerror(errno);
  std::string answer;
  const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (answer.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    pollfd wait{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) <= 0) {
      failure = "no answer from the agent in time";
      break;
    }
    char buffer[4096];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
      failure = sent ? "the agent closed the connection" : "the agent did not take the request (" + sendError + ")";
      break;
    }
    answer.append(buffer, static_cast<std::size_t>(got));
  }
  if (answer.find('\n') != std::string::npos) failure.clear();
  ::close(fd);
  return failure.empty() ? answer : "";
}

void PrintEvents(const value& answer, std::ostream& out) {
  if (!answer.has_array_field("events")) return;
  for (const auto& event : answer.at("events").as_array()) {
    if (!event.has_integer_field("code")) continue;
    const auto text = [&](const char* name) { return event.has_string_field(name) ? event.at(name).as_string() : ""; };
    out << EventLine("", event.at("code").as_integer(), text("text"), text("payload")).substr(1) << "\n";
  }
}

void PrintStatus(const value& status, std::ostream& out) {
  const auto yes = [&](const char* name) {
    return status.has_boolean_field(name) && status.at(name).as_bool() ? "yes" : "no";
  };
  const auto text = [&](const char* name) { return status.has_field(name) ? status.at(name).serialize() : "?"; };
  const std::string contact = status.has_string_field("lastContact") ? status.at("lastContact").as_string() : "";
  out << "version: " << (status.has_string_field("version") ? status.at("version").as_string() : "?") << "\n"
      << "registered: " << yes("registered") << "\n"
      << "last contact with the server: " << (contact.empty() ? "never" : contact) << "\n"
      << "client state: " << text("clientState") << "\n"
      << "pending downloads: " << text("pendingDownloads") << "\n"
      << "last update check failed: " << yes("updateCheckFailed") << "\n"
      << "package signatures: " << (status.has_string_field("signaturePolicy") ? status.at("signaturePolicy").as_string() : "?");
  std::string ids;
  if (status.has_array_field("trustedKeyIds"))
    for (const auto& id : status.at("trustedKeyIds").as_array())
      if (id.is_string()) ids += (ids.empty() ? "" : ", ") + id.as_string();
  out << (ids.empty() ? "" : " (keys " + ids + ")") << "\n";
}

// Fills `options`; returns -1 to go on, else the exit code.
int ParseOptions(int argc, char** argv, Options& options, std::ostream& out, std::ostream& error) {
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      out << kCtlUsage;
      return 0;
    } else if (arg == "--config" || arg == "--socket" || arg == "--wait" || arg == "--timeout") {
      if (i + 1 >= argc) return Usage(error, arg + " needs a value");
      const std::string given = argv[++i];
      if (arg == "--config") options.config = given;
      else if (arg == "--socket") options.socket = given;
      else if (arg == "--wait" && !ParseCodes(given, options.wait)) return Usage(error, "bad event codes " + given);
      else if (arg == "--timeout") {
        if (given.empty() || given.size() > 5 || given.find_first_not_of("0123456789") != std::string::npos)
          return Usage(error, "bad time-out " + given);
        options.timeoutSeconds = std::stoi(given);
      }
    } else if (options.command.empty()) {
      options.command = arg;
    } else if (options.command == "request" && options.code.empty()) {
      options.code = arg;
    } else if (options.command == "request" && options.dataFile.empty()) {
      options.dataFile = arg;
    } else {
      return Usage(error, "unexpected argument " + arg);
    }
  }
  return -1;
}

// The request line of `options`; returns -1 to go on, else the exit code.
int BuildRequest(const Options& options, value& request, std::ostream& error) {
  request = value::object(true);
  if (options.command == "status" || options.command == "heartbeat") {
    request["command"] = value::string(options.command);
  } else if (options.command == "request") {
    if (options.code.empty() || options.code.size() > 4 || options.code.find_first_not_of("0123456789") != std::string::npos)
      return Usage(error, "request needs a numeric code");
    std::string data;
    if (!ReadData(options.dataFile, data)) return Usage(error, "cannot read " + options.dataFile);
    request["command"] = value::string("request");
    request["code"] = value::number(std::stoi(options.code));
    request["data"] = value::string(data);
  } else {
    return Usage(error, options.command.empty() ? "a command is needed" : "unknown command " + options.command);
  }
  if (options.wait.size() > 0) {
    request["waitFor"] = options.wait;
    request["timeoutMs"] = value::number(options.timeoutSeconds * 1000);
  }
  return -1;
}

int PrintAnswer(const Options& options, const value& answer, std::ostream& out, std::ostream& error) {
  PrintEvents(answer, out);
  if (!answer.at("ok").as_bool()) {
    error << "fennic-agent ctl: " << (answer.has_string_field("error") ? answer.at("error").as_string() : "refused")
          << "\n";
    return 1;
  }
  if (answer.has_object_field("status")) PrintStatus(answer.at("status"), out);
  if (answer.has_integer_field("returned")) {
    const int returned = answer.at("returned").as_integer();
    out << "request " << options.code << ": "
        << (returned == 0 ? "queued" : returned == 2 ? "queued (no token yet)" : "nothing queued") << "\n";
  }
  if (options.command == "heartbeat") out << "heart beat requested\n";
  return 0;
}

}  // namespace

int RunControlCommand(int argc, char** argv, std::ostream& out, std::ostream& error) {
  Options options;
  value request;
  if (const int code = ParseOptions(argc, argv, options, out, error); code >= 0) return code;
  if (const int code = BuildRequest(options, request, error); code >= 0) return code;

  std::string failure;
  const std::string line =
      Exchange(SocketOf(options), request.serialize() + "\n", options.timeoutSeconds * 1000 + 5000, failure);
  std::error_code parseError;
  const value answer = line.empty() ? value() : value::parse(line.substr(0, line.find('\n')), parseError);
  if (failure.empty() && (parseError || !answer.has_boolean_field("ok"))) failure = "the agent's answer is not readable";
  if (!failure.empty()) {
    error << "fennic-agent ctl: " << failure << "\n";
    return 1;
  }
  return PrintAnswer(options, answer, out, error);
}

}  // namespace zelvan::fennic::agent
