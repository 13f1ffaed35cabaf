// A minimal static HTTP server for the download benchmark: GET only, one
// connection at a time, one response per connection, file bodies sent with
// sendfile(2) so that the server costs next to nothing beside its clients.
//
//   staticserver <root> <port> <ready-file>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool sendAll(int fd, const std::string& text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = write(fd, text.data() + sent, text.size() - sent);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// The request head up to the blank line; empty when the client went away.
std::string readHead(int fd)
{
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        head.append(buffer, static_cast<size_t>(n));
    }
    return head;
}

void answer(int client, const std::string& root)
{
    std::string head = readHead(client);
    size_t pathEnd = head.find(' ', 4);
    if (head.compare(0, 4, "GET ") != 0 || pathEnd == std::string::npos) {
        sendAll(client, "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    std::string path = head.substr(4, pathEnd - 4);
    path = path.substr(0, path.find('?'));
    int file = path.find("..") == std::string::npos ? open((root + path).c_str(), O_RDONLY | O_CLOEXEC) : -1;
    struct stat info {};
    if (file < 0 || fstat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (file >= 0)
            close(file);
        sendAll(client, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    if (sendAll(client, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                            std::to_string(info.st_size) + "\r\nConnection: close\r\n\r\n")) {
        off_t offset = 0;
        while (offset < info.st_size) {
            ssize_t n = sendfile(client, file, &offset, static_cast<size_t>(info.st_size - offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
        }
    }
    close(file);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s <root> <port> <ready-file>\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::string root = argv[1];
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0) {
        perror("staticserver");
        return 1;
    }
    std::string ready = argv[3];
    FILE* flag = fopen((ready + ".part").c_str(), "w");
    if (!flag || fclose(flag) != 0 || rename((ready + ".part").c_str(), ready.c_str()) != 0) {
        perror("staticserver: ready file");
        return 1;
    }
    for (;;) {
        int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR)
                continue;
            perror("staticserver: accept");
            return 1;
        }
        answer(client, root);
        shutdown(client, SHUT_WR);
        close(client);
    }
}
