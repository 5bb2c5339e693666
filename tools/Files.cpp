#include "Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "Errors.h"

namespace vexa::tool {
namespace {

std::string reason(const std::string& what, const std::string& path)
{
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

bool writeAll(int fd, const uint8_t* data, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, data + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += size_t(n);
    }
    return true;
}

}  // namespace

std::vector<uint8_t> readWholeFile(const std::string& path)
{
    if (path == "-") {
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(std::cin), {});
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw Failure(reason("read", path));
    }
    std::vector<uint8_t> content(std::istreambuf_iterator<char>(file), {});
    if (file.bad()) {
        throw Failure(reason("read", path));
    }
    return content;
}

void writeWholeFile(const std::string& path, const uint8_t* data, size_t length)
{
    if (path == "-") {
        std::cout.write(reinterpret_cast<const char*>(data), std::streamsize(length));
        std::cout.flush();
        if (!std::cout) {
            throw Failure("cannot write to standard output");
        }
        return;
    }
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        throw Failure(reason("create a file beside", path));
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    const bool written = writeAll(fd, data, length) && ::fsync(fd) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int renameErrno = written ? errno : savedErrno;
        ::unlink(temporary.c_str());
        errno = renameErrno;
        throw Failure(reason("write", path));
    }
}

}  // namespace vexa::tool
