// A file descriptor that is closed on every path, an exception included.
// Private to platform/posix.
#pragma once

#include <unistd.h>

namespace pyn {
namespace posix {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    ~UniqueFd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return m_fd; }
    // Closes now; false when close fails (a write that did not reach the
    // file, say). Closing a descriptor already closed is true.
    bool Close() {
        const int fd = m_fd;
        m_fd = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int m_fd;
};

}  // namespace posix
}  // namespace pyn
