// A TLS server on loopback that records the requests it receives, standing
// in for the analytics endpoint.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TlsServer {
  enum class Behaviour { answer, stall };

  // Listens on 127.0.0.1:port (and [::1]:port when available). False when
  // the port cannot be bound.
  bool start(int port, Behaviour behaviour = Behaviour::answer);
  void stop();
  ~TlsServer() { stop(); }

  std::vector<std::string> requests();
  size_t connections() const { return accepted_.load(); }

 private:
  void serve(int listener);
  void handle(int client);

  Behaviour behaviour_ = Behaviour::answer;
  std::vector<int> listeners_;
  std::vector<std::thread> threads_;
  std::atomic<bool> running_{false};
  std::atomic<size_t> accepted_{0};
  std::mutex mutex_;
  std::vector<std::string> requests_;
  void *context_ = nullptr;
};
