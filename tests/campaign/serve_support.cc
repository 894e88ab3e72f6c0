#include "campaign/serve_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

namespace {

// Reads `fd` until a whole line naming the address came or `timeout_s` passed; what was read.
std::string read_banner(int fd, double timeout_s) {
  std::string text;
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[512];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// Whether `answer` holds a whole HTTP answer: its head and as much body as its Content-Length.
bool whole_answer(const std::string& answer) {
  size_t head = answer.find("\r\n\r\n");
  if (head == std::string::npos) return false;
  std::smatch m;
  std::string header = answer.substr(0, head);
  if (!std::regex_search(header, m, std::regex("Content-Length: (\\d+)", std::regex::icase)))
    return true;
  return answer.size() >= head + 4 + std::stoul(m[1]);
}

}  // namespace

running_server::running_server(const std::string& db, const std::string& cwd,
                               const std::vector<std::string>& args) {
  int out[2];
  if (pipe(out) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    // Nothing else of this process stays open in the server: a lock held by the test run would
    // outlive it in a server left behind.
    close_range(3, ~0U, 0);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<std::string> argv = {VARNEL_CAMPAIGN_EXE, "serve", "--db", db, "--port", "0"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> c;
    for (std::string& a : argv) c.push_back(a.data());
    c.push_back(nullptr);
    execv(c[0], c.data());
    _exit(127);
  }
  close(out[1]);
  banner_ = read_banner(out[0], 30);
  close(out[0]);
  std::smatch m;
  if (std::regex_search(banner_, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/")))
    port_ = std::stoi(m[1]);
}

running_server::~running_server() {
  stop();
}

http_answer running_server::get(const std::string& path, const std::string& host) const {
  httplib::Client client("127.0.0.1", port_);
  client.set_connection_timeout(5);
  client.set_read_timeout(10);
  httplib::Headers headers;
  if (!host.empty()) headers.emplace("Host", host);
  httplib::Result r = client.Get(path, headers);
  if (!r) return {};
  return {r->status, r->body, r->get_header_value("Content-Type")};
}

int running_server::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 1000; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return -1;
}

std::string raw_exchange(int port, const std::string& bytes) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < until) {
      pollfd p = {s, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buffer[4096];
      ssize_t n = recv(s, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      answer.append(buffer, static_cast<size_t>(n));
      if (whole_answer(answer)) break;
    }
  }
  close(s);
  return answer;
}

int raw_status(const std::string& answer) {
  std::smatch m;
  if (!std::regex_search(answer, m, std::regex("^HTTP/1\\.[01] (\\d{3})"))) return 0;
  return std::stoi(m[1]);
}
