/* Trivial responder for the inventory round-trip baseline: accepts a connection, reads until
 * the braces of the message balance, sends a fixed answer, runs /bin/sh -c 'rm -rf DIR' (the
 * clean-up every answered control request costs) and closes. Runs until killed.
 *   e2e_responder ADDR PORT READY_FILE DIR */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

static const char answer[] = "{\"B\":[{\"T\":16,\"ER\":0,\"I\":0}],\"H\":{\"V\":113}}";

int main(int argc, char** argv)
{
    if (argc != 5)
        return 2;
    int server = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in addr = { 0 };
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)atoi(argv[2]));
    inet_pton(AF_INET, argv[1], &addr.sin_addr);
    if (bind(server, (struct sockaddr*)&addr, sizeof addr) != 0 || listen(server, 1) != 0)
        return 1;
    fclose(fopen(argv[3], "w"));
    char command[512];
    snprintf(command, sizeof command, "rm -rf %s", argv[4]);
    for (;;) {
        int conn = accept(server, NULL, NULL);
        if (conn < 0)
            continue;
        char buffer[9000];
        long opened = 0, closed = 0;
        for (;;) {
            ssize_t n = recv(conn, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            for (ssize_t i = 0; i < n; ++i) {
                opened += buffer[i] == '{';
                closed += buffer[i] == '}';
            }
            if (opened > 0 && opened == closed)
                break;
        }
        if (send(conn, answer, sizeof answer - 1, MSG_NOSIGNAL) < 0)
            perror("send");
        pid_t child = fork();
        if (child == 0) {
            execl("/bin/sh", "sh", "-c", command, (char*)NULL);
            _exit(127);
        }
        if (child > 0)
            waitpid(child, NULL, 0);
        close(conn);
    }
}
