#pragma once
// The service manager's end of NOTIFY_SOCKET in tests: a datagram socket bound at a
// path, collecting every state message sent to it ("READY=1\nSTATUS=...") in order.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/platform/serial/PtyFixture.h"

namespace portvale::test {

class NotifySocket {
public:
    explicit NotifySocket(std::string path) : path_(std::move(path)) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        ::unlink(path_.c_str());
        bound_ = fd_ >= 0 && path_.size() < sizeof address.sun_path &&
                 ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) ::close(fd_);
        ::unlink(path_.c_str());
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool ok() const { return bound_; }
    const std::string& path() const { return path_; }

    // Every message so far, each as its fields ("READY=1", "STATUS=...").
    const std::vector<std::vector<std::string>>& Messages() {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) >= 0;) {
            std::vector<std::string> fields;
            std::istringstream lines(std::string(buffer, static_cast<std::size_t>(n)));
            for (std::string line; std::getline(lines, line);)
                if (!line.empty()) fields.push_back(line);
            messages_.push_back(std::move(fields));
        }
        return messages_;
    }

    // The first message at or after `from` with the field, or -1.
    int Find(const std::string& field, int from = 0) {
        const auto& all = Messages();
        for (int i = std::max(from, 0); i < static_cast<int>(all.size()); ++i)
            for (const std::string& f : all[static_cast<std::size_t>(i)])
                if (f == field) return i;
        return -1;
    }
    int Count(const std::string& field) {
        int count = 0;
        for (int at = Find(field); at >= 0; at = Find(field, at + 1)) ++count;
        return count;
    }
    // Waits for a message with the field at or after `from`; its index, or -1.
    int WaitFor(const std::string& field, int from = 0) {
        int at = -1;
        WaitReceiving([&] { return (at = Find(field, from)) >= 0; });
        return at;
    }
    bool WaitForCount(const std::string& field, int count) {
        return WaitReceiving([&] { return Count(field) >= count; });
    }
    // The last STATUS= text, empty when none came.
    std::string LastStatus() {
        std::string last;
        for (const auto& message : Messages())
            for (const std::string& f : message)
                if (f.rfind("STATUS=", 0) == 0) last = f.substr(7);
        return last;
    }
    // Everything received, for a failure's message.
    std::string Text() {
        std::string text;
        for (const auto& message : Messages()) {
            for (const std::string& f : message) text += f + "|";
            text += "\n";
        }
        return text;
    }

private:
    bool WaitReceiving(const std::function<bool()>& condition) {
        return WaitUntil([&] {
            if (condition()) return true;
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, 50);
            return false;
        });
    }

    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
    std::vector<std::vector<std::string>> messages_;
};

}  // namespace portvale::test
