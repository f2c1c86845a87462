// The scripted bluetoothd of the BlueZ backend tests: a private dbus-daemon that the test program starts
// and stops itself, with python-dbusmock running our template (scripted_bluez.py) as org.bluez on it.
//
// One per test program, shared by its cases (ScriptedBluez::Get). A missing tool fails the test that needs
// it, naming the tool. Tests script the mock with Run("python code") and read its call log with Calls().
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmora::testing_support {

constexpr const char kDebianPython[] = "/usr/bin/python3";
constexpr const char kDbusDaemon[] = "/usr/bin/dbus-daemon";

class ScriptedBluez {
 public:
  // Get starts the bus and the mock on first use; *error names what is missing when they could not start.
  static ScriptedBluez* Get(std::string* error) {
    static ScriptedBluez* instance = [] {
      auto* made = new ScriptedBluez;
      made->Start();
      std::atexit([] { Get(nullptr)->Stop(); });
      return made;
    }();
    if (!instance->error_.empty()) {
      if (error != nullptr) *error = instance->error_;
      return nullptr;
    }
    return instance;
  }

  const std::string& address() const { return address_; }
  pid_t mock_pid() const { return mock_pid_; }

  // Run runs Python code in the mock and gives the text of its value; on a D-Bus error, "error: <text>".
  std::string Run(const std::string& code) {
    std::lock_guard lock(mutex_);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    sd_bus_message* call = nullptr;
    std::string out;
    int r = sd_bus_message_new_method_call(bus_, &call, unique_.c_str(), "/", "org.bluez.Mock", "Run");
    if (r >= 0) r = sd_bus_message_append(call, "s", code.c_str());
    if (r >= 0) r = sd_bus_call(bus_, call, 120'000'000, &error, &reply);
    const char* text = nullptr;
    if (r >= 0 && sd_bus_message_read(reply, "s", &text) >= 0 && text != nullptr) {
      out = text;
    } else {
      out = std::string("error: ") + (error.message != nullptr ? error.message : "call failed");
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    return out;
  }

  // Calls gives the mock's log of bluetoothd calls, "<Member> <path> <args>" each.
  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus_, unique_.c_str(), "/", "org.bluez.Mock", "Calls", &error, &reply, "") >= 0) {
      char** texts = nullptr;
      if (sd_bus_message_read_strv(reply, &texts) >= 0 && texts != nullptr) {
        for (char** t = texts; *t != nullptr; ++t) {
          lines.emplace_back(*t);
          std::free(*t);
        }
        std::free(texts);
      }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return lines;
  }

  // CallsOf keeps the log lines of one member.
  std::vector<std::string> CallsOf(const std::string& member) {
    std::vector<std::string> found;
    for (std::string& line : Calls()) {
      if (line.compare(0, member.size() + 1, member + " ") == 0) found.push_back(std::move(line));
    }
    return found;
  }

 private:
  void Start() {
    if (access(kDbusDaemon, X_OK) != 0) {
      error_ = std::string("dbus-daemon is missing (") + kDbusDaemon + "; Debian package dbus-daemon)";
      return;
    }
    if (std::system("/usr/bin/python3 -c 'import dbus, gi, dbusmock' >/dev/null 2>&1") != 0) {
      error_ =
          "python-dbusmock is missing (/usr/bin/python3 -c 'import dbusmock'; Debian packages python3-dbusmock, "
          "python3-dbus, python3-gi)";
      return;
    }
    const std::string dir = VELMORABLE_TEST_DATA_DIR;
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return Fail("pipe");
    daemon_pid_ = fork();
    if (daemon_pid_ == 0) {
      dup2(pipe_fds[1], 3);
      const int null_fd = open("/dev/null", O_WRONLY);
      dup2(null_fd, 2);  // it warns that it may not raise its fd limit
      const std::string config = "--config-file=" + dir + "/private_bus.conf";
      execl(kDbusDaemon, kDbusDaemon, config.c_str(), "--nofork", "--print-address=3", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(pipe_fds[1]);
    address_ = ReadLine(pipe_fds[0]);
    close(pipe_fds[0]);
    if (address_.empty()) return Fail("dbus-daemon printed no address");
    mock_pid_ = fork();
    if (mock_pid_ == 0) {
      setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
      const int null_fd = open("/dev/null", O_WRONLY);
      dup2(null_fd, 1);
      const std::string tmpl = dir + "/scripted_bluez.py";
      execl(kDebianPython, kDebianPython, "-m", "dbusmock", "--system", "--template", tmpl.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address_.c_str()) < 0 || sd_bus_set_bus_client(bus_, 1) < 0 ||
        sd_bus_start(bus_) < 0) {
      return Fail("cannot connect to the private bus");
    }
    // bluetoothd's name appears once the template has loaded (about 0.15 s).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      sd_bus_error error = SD_BUS_ERROR_NULL;
      sd_bus_message* reply = nullptr;
      int has = 0;
      if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                             "NameHasOwner", &error, &reply, "s", "org.bluez") >= 0) {
        (void)sd_bus_message_read(reply, "b", &has);
      }
      sd_bus_error_free(&error);
      sd_bus_message_unref(reply);
      if (has != 0) return FindUniqueName();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Fail("the scripted bluetoothd did not take the name org.bluez within 5 s");
  }

  // FindUniqueName keeps the mock's own bus name: tests may take org.bluez away from it.
  void FindUniqueName() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const char* name = nullptr;
    if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "GetNameOwner", &error, &reply, "s", "org.bluez") >= 0 &&
        sd_bus_message_read(reply, "s", &name) >= 0 && name != nullptr) {
      unique_ = name;
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    if (unique_.empty()) Fail("no owner of org.bluez");
  }

  void Fail(const char* what) {
    error_ = what;
    Stop();
  }

  void Stop() {
    if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
    bus_ = nullptr;
    for (pid_t* pid : {&mock_pid_, &daemon_pid_}) {
      if (*pid <= 0) continue;
      kill(*pid, SIGCONT);
      kill(*pid, SIGTERM);
      int status = 0;
      waitpid(*pid, &status, 0);
      *pid = 0;
    }
  }

  static std::string ReadLine(int fd) {
    std::string line;
    pollfd item{fd, POLLIN, 0};
    while (poll(&item, 1, 5000) > 0) {
      char c;
      if (read(fd, &c, 1) != 1 || c == '\n') break;
      line.push_back(c);
    }
    return line;
  }

  std::mutex mutex_;
  std::string error_;
  std::string address_;
  std::string unique_;  // the mock's unique bus name
  pid_t daemon_pid_ = 0;
  pid_t mock_pid_ = 0;
  sd_bus* bus_ = nullptr;
};

}  // namespace velmora::testing_support
