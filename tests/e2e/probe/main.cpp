// A probe run inside the sandbox by the end-to-end tests. Each invocation
// performs one action and reports through its exit status:
//   0 allowed, 13 refused (EACCES or EPERM), 1 any other failure, 2 misuse.
// Actions that inspect the process print what they find on standard output.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

namespace {

int outcome(bool ok) {
    if (ok) return 0;
    const int err = errno;
    std::printf("errno %d\n", err);
    return (err == EACCES || err == EPERM) ? 13 : 1;
}

int tcp(const char* port_text, bool do_bind) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return outcome(false);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::atoi(port_text)));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
    const int rc = do_bind ? ::bind(fd, sa, sizeof addr) : ::connect(fd, sa, sizeof addr);
    return outcome(rc == 0);
}

sockaddr_un unix_address(const char* path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    return addr;
}

// Connects to the stream socket at `path`; with `own`, first creates and
// listens on it itself.
int unix_connect(const char* path, bool own) {
    const sockaddr_un addr = unix_address(path);
    const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
    if (own) {
        const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (server < 0 || ::bind(server, sa, sizeof addr) != 0 || ::listen(server, 1) != 0) {
            return outcome(false);
        }
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = fd >= 0 && ::connect(fd, sa, sizeof addr) == 0;
    const int result = outcome(ok);
    if (own) ::unlink(path);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string action = argv[1];
    const char* arg = argc > 2 ? argv[2] : "";
    if (action == "write") { // create or append to a regular file
        const int fd = ::open(arg, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        return outcome(fd >= 0 && ::write(fd, "x", 1) == 1);
    }
    if (action == "read") {
        char c;
        const int fd = ::open(arg, O_RDONLY | O_CLOEXEC);
        return outcome(fd >= 0 && ::read(fd, &c, 1) >= 0);
    }
    if (action == "truncate") return outcome(::truncate(arg, 0) == 0);
    if (action == "list") {
        DIR* dir = ::opendir(arg);
        const bool ok = dir != nullptr && ::readdir(dir) != nullptr;
        const int result = outcome(ok);
        if (dir != nullptr) ::closedir(dir);
        return result;
    }
    if (action == "mkdir") return outcome(::mkdir(arg, 0755) == 0);
    if (action == "unlink") return outcome(::unlink(arg) == 0);
    if (action == "exec") { // run argv[2..] and report whether exec worked
        ::execv(arg, argv + 2);
        return outcome(false);
    }
    if (action == "connect") return tcp(arg, false);
    if (action == "bind") return tcp(arg, true);
    if (action == "unix-connect") return unix_connect(arg, false);
    if (action == "unix-own") return unix_connect(arg, true); // listen, then connect
    if (action == "nnp") {
        std::printf("%d\n", ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0));
        return 0;
    }
    if (action == "fds") { // every open descriptor but the listing's own
        DIR* dir = ::opendir("/proc/self/fd");
        if (dir == nullptr) return outcome(false);
        const int own = ::dirfd(dir);
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
            std::printf("%s\n", entry->d_name);
        }
        ::closedir(dir);
        return 0;
    }
    if (action == "args") { // argv, one per line, as given
        for (int i = 0; i < argc; ++i)
            std::printf("%s\n", argv[i]);
        return 0;
    }
    if (action == "env") { // the environment, NUL-separated
        for (char** e = environ; *e != nullptr; ++e)
            std::fwrite(*e, 1, std::strlen(*e) + 1, stdout);
        return 0;
    }
    if (action == "sigpipe") {
        struct sigaction sa {};
        ::sigaction(SIGPIPE, nullptr, &sa);
        std::printf("%s\n", sa.sa_handler == SIG_IGN ? "ignored" : "default");
        return 0;
    }
    if (action == "stdin") { // what descriptor 0 is
        struct stat st {};
        struct stat null_st {};
        if (::fstat(0, &st) != 0) return outcome(false);
        ::stat("/dev/null", &null_st);
        const bool is_null = S_ISCHR(st.st_mode) && st.st_rdev == null_st.st_rdev;
        std::printf("%s\n", is_null ? "devnull" : "other");
        return 0;
    }
    return 2;
}
