#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "TransportFixtures.h"

using namespace fennic_test;
using zelvan::fennic::HttpRestClient;
using zelvan::fennic::ToUtf8;
using zelvan::fennic::ToWide;

namespace {

// A loopback server that sends `prefix` on each connection and then holds
// it open without a word more until it is destroyed: a slow server.
class StallingServer {
 public:
  explicit StallingServer(std::string prefix) : prefix_(std::move(prefix)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 4);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    ::pipe(quit_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~StallingServer() {
    ::write(quit_[1], "x", 1);
    thread_.join();
    for (int fd : {fd_, quit_[0], quit_[1]}) ::close(fd);
  }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  void Serve() {
    std::vector<int> held;
    for (;;) {
      pollfd fds[] = {{fd_, POLLIN, 0}, {quit_[0], POLLIN, 0}};
      ::poll(fds, 2, 20000);
      if (fds[1].revents != 0 || fds[0].revents == 0) break;
      const int client = ::accept(fd_, nullptr, nullptr);
      char request[4096];
      ::recv(client, request, sizeof request, 0);
      ::send(client, prefix_.data(), prefix_.size(), MSG_NOSIGNAL);
      held.push_back(client);
    }
    for (int fd : held) ::close(fd);
  }

  std::string prefix_;
  int fd_ = -1;
  int quit_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;
};

struct AbortCase {
  const char* name;
  bool download;
  std::string prefix;  // what the server sends before it stalls
};

class TransportAbort : public ::testing::TestWithParam<AbortCase> {};

// A stop ends a slow request or a stalled download at once, names the stop
// as the cause, keeps what a download received for the resume, and sends
// nothing after it.
TEST_P(TransportAbort, AStopEndsTheTransferAtOnceAndKeepsThePartialFile) {
  const AbortCase& c = GetParam();
  StallingServer server(c.prefix);
  ScratchFolder folder;
  auto options = FastOptions(folder.path.string());
  options.requestTimeout = options.downloadTimeout = std::chrono::seconds(60);
  HttpRestClient client(options);
  client.SetTenantEndpoint(ToWide(server.Base()), L"t");
  const std::string package = Package(200000);
  auto transfer = std::async(std::launch::async, [&] {
    if (c.download) return Fetch(client, Details("/pkg", package.size(), Sha(package)), folder.path).second;
    return Refusal<web::http::http_exception>([&] { client.ExecuteRequest(3, "{}"); });
  });
  EXPECT_EQ(transfer.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout) << transfer.get();
  client.AbortTransfers();
  ASSERT_EQ(transfer.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the stop did not end it";
  const std::string why = transfer.get();
  EXPECT_NE(why.find("transfer from " + server.Base() + " aborted by the stop"), std::string::npos) << why;
  EXPECT_EQ(why.find("timed out"), std::string::npos) << why;
  std::uintmax_t kept = 0;
  for (const auto& entry : fs::directory_iterator(folder.path)) kept += entry.file_size();
  EXPECT_EQ(kept, c.download ? 100000u : 0u) << "what arrived stays for the resume";
  EXPECT_NE(Refusal<web::http::http_exception>([&] { client.ExecuteRequest(3, "{}"); }).find("not sent: the agent is stopping"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, TransportAbort,
    ::testing::Values(AbortCase{"SlowAnswer", false, ""},
                      AbortCase{"StalledDownload", true,
                                "HTTP/1.1 200 OK\r\nContent-Length: 200000\r\n\r\n" + Package(200000).substr(0, 100000)}),
    [](const auto& info) { return std::string(info.param.name); });

// An answer that is not HTTP is named so, not as "no answer".
TEST(TransportFailureText, AnAnswerThatIsNotHttpIsNamedSo) {
  StallingServer server("SSH-2.0-other\r\n\r\n");
  HttpRestClient client(FastOptions());
  client.SetTenantEndpoint(ToWide(server.Base()), L"t");
  const std::string why = Refusal<web::http::http_exception>([&] { client.ExecuteRequest(3, "{}"); });
  EXPECT_EQ(why.rfind("answer from " + server.Base() + " is not HTTP (", 0), 0u) << why;
}

}  // namespace
