#pragma once
#include <functional>
#include <string>
#include <thread>

namespace vexa::sim {

// A Unix stream socket that takes control lines from any number of
// connections and writes each answer back on the connection it came from.
class CControlSocket {
public:
    using Handler = std::function<std::string(const std::string& line)>;

    CControlSocket(const std::string& path, Handler handler);  // throws std::runtime_error
    ~CControlSocket();  // stops serving, closes connections, removes the socket file
    CControlSocket(const CControlSocket&) = delete;
    CControlSocket& operator=(const CControlSocket&) = delete;

    const std::string& path() const { return m_path; }

private:
    void serve();

    const std::string m_path;
    const Handler m_handler;
    int m_listenFd = -1;
    int m_stopFd = -1;  // eventfd the serving thread polls
    std::thread m_thread;
};

}  // namespace vexa::sim
