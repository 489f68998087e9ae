// A system-log socket that counts what arrives: bench_log_sink PATH COUNT
// ends once COUNT datagrams came (or after 120 s without one) and prints
// the count.
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: bench_log_sink PATH COUNT\n");
        return 2;
    }
    long want = atol(argv[2]);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", argv[1]);
    unlink(argv[1]);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        perror("bench_log_sink");
        return 1;
    }
    int big = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    // Ready: the caller waits for this line before it starts the sender.
    printf("ready\n");
    fflush(stdout);
    long got = 0;
    char buf[65536];
    struct pollfd pfd = {fd, POLLIN, 0};
    while (got < want && poll(&pfd, 1, 120000) > 0) {
        if (recv(fd, buf, sizeof buf, 0) >= 0)
            got++;
    }
    printf("%ld\n", got);
    close(fd);
    unlink(argv[1]);
    return got == want ? 0 : 1;
}
