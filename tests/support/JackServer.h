// SPDX-License-Identifier: GPL-3.0-or-later
// A private JACK server for the MIDI and sound device tests: jackd on the
// dummy driver (two capture and two playback ports) at a given rate and
// period, 22050 Hz and 220 frames unless told, under a name of its own, its
// output in a log file, stopped by its process id. Clients join it by name
// (JackServerName), so nothing else on the machine is touched. It runs its
// cycle, and its clients' process threads, at real-time priority as a
// desktop's server does; where the machine refuses that, jackd says so in
// its log and runs at normal priority.
#pragma once

#include <jack/jack.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace sorvane::test {

class JackServer {
 public:
  explicit JackServer(const std::filesystem::path& log, int rate = 22050, int period = 220)
      : Name("sorvane-jack-test-" + std::to_string(getpid()) + "-" + std::to_string(Started()++)),
        Log(log),
        Rate(std::to_string(rate)),
        Period(std::to_string(period)) {
    Start();
  }
  ~JackServer() {
    Stop();
    // A server that ends while clients are still attached leaves their
    // semaphore files behind; they carry its name.
    std::error_code error;
    const std::string mark = "_" + Name + "_";
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error)) {
      const std::string file = entry.path().filename().string();
      if (file.rfind("jack_", 0) == 0 && file.find(mark) != std::string::npos) {
        std::filesystem::remove(entry.path(), error);
      }
    }
  }

  // The server under its name, its output appended to the log (the
  // constructor starts it; again after Stop, as a user restarting JACK).
  void Start() {
    const char* mode = Restarted ? "a" : "w";
    Restarted = true;
    Pid = fork();
    if (Pid == 0) {
      // A test program that dies (a failed assertion's abort, a sanitizer
      // report) takes its server with it: an orphaned jackd would keep its
      // slot in JACK's machine-wide registry of servers, which has eight.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      std::freopen(Log.c_str(), mode, stdout);
      std::freopen(Log.c_str(), "a", stderr);
      execlp("jackd", "jackd", "-n", Name.c_str(), "-R", "-d", "dummy", "-r", Rate.c_str(), "-p", Period.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  // Ends the server and waits for it.
  void Stop() {
    if (Pid > 0) {
      kill(Pid, SIGTERM);
      waitpid(Pid, nullptr, 0);
    }
    Pid = -1;
  }
  JackServer(const JackServer&) = delete;
  JackServer& operator=(const JackServer&) = delete;

  // Opens a client on this server; null when it does not answer.
  jack_client_t* Join(const char* clientName) const {
    jack_status_t status;
    return jack_client_open(clientName, static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
                            Name.c_str());
  }

  // What a port is connected to, sorted; asked by client, or by an observer
  // of its own when client is null.
  std::vector<std::string> ConnectionsOf(const char* port, jack_client_t* client = nullptr) const {
    jack_client_t* asking = client != nullptr ? client : Join("observer");
    std::vector<std::string> names;
    if (asking == nullptr) return names;
    if (const char** list = jack_port_get_all_connections(asking, jack_port_by_name(asking, port))) {
      for (const char** n = list; *n != nullptr; ++n) names.emplace_back(*n);
      jack_free(list);
    }
    if (client == nullptr) jack_client_close(asking);
    std::sort(names.begin(), names.end());
    return names;
  }

  // Waits up to 20 s until a client can join it. libjack's messages about
  // the attempts before it is up are silenced for the test process.
  bool Ready() const {
    jack_set_error_function([](const char*) {});
    jack_set_info_function([](const char*) {});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (jack_client_t* probe = Join("probe")) {
        jack_client_close(probe);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::string Name;
  pid_t Pid = -1;

 private:
  const std::filesystem::path Log;
  const std::string Rate, Period;
  bool Restarted = false;
  // Servers this process started: each gets a name of its own.
  static int& Started() {
    static int count = 0;
    return count;
  }
};

}  // namespace sorvane::test
