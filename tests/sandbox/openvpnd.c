/* The router's OpenVPN daemon /usr/sbin/openvpnd as the sandbox provides it: Debian's openvpn
 * run under the name its caller gave (the module's init script starts it as ferryd with
 * exec -a, which a script in its place would lose). Every call is recorded in
 * /var/sandbox/calls/openvpnd; /var/sandbox/openvpnd.version makes "--version" report another
 * version in the same format. */
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static const char openvpn[] = "/usr/sbin/openvpn";
static const char version_file[] = "/var/sandbox/openvpnd.version";
static const char calls_file[] = "/var/sandbox/calls/openvpnd";

static void record_call(int argc, char** argv)
{
    FILE* f = fopen(calls_file, "a");
    if (!f)
        return;
    for (int i = 1; i < argc; i++)
        fprintf(f, "%s%s", i > 1 ? " " : "", argv[i]);
    fputc('\n', f);
    fclose(f);
}

/* Prints openvpn's version text with the second word of its first line replaced. */
static int print_version(const char* version)
{
    FILE* p = popen("/usr/sbin/openvpn --version", "r");
    if (!p) {
        perror("openvpnd: openvpn --version");
        return 1;
    }
    char line[4096];
    int first = 1;
    while (fgets(line, sizeof line, p)) {
        if (first) {
            first = 0;
            char* word2 = strchr(line, ' ');
            if (word2) {
                char* rest = strchr(word2 + 1, ' ');
                *word2 = '\0';
                printf("%s %s%s", line, version, rest ? rest : "\n");
                continue;
            }
        }
        fputs(line, stdout);
    }
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int main(int argc, char** argv)
{
    record_call(argc, argv);
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        FILE* f = fopen(version_file, "r");
        if (f) {
            char version[128] = "";
            if (!fgets(version, sizeof version, f))
                version[0] = '\0';
            fclose(f);
            version[strcspn(version, " \t\r\n")] = '\0';
            return print_version(version);
        }
    }
    execv(openvpn, argv);
    perror("openvpnd: /usr/sbin/openvpn");
    return 127;
}
