// Feeds arbitrary text to process_control_msg as the CS would send it on the managing socket.
// The router's commands go to the recording backend, and every command line a message leads
// to is checked: a peer's text that reached it unchecked would show as a character that
// separates shell commands. The files a request writes land in private tmpfs mounts over /opt
// and /tmp (the target needs root for them and stops when it cannot have them).
#include "common/log.h"
#include "common/system_recording.h"
#include "control/dispatch.h"

#include <cjson/cJSON.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>

namespace
{

void require(bool condition)
{
    if (!condition)
        abort();
}

recording_system* sys = nullptr;

// A command line without its awk programs ('{...}', fixed texts of ours that hold ';').
std::string without_awk_programs(std::string command)
{
    size_t open = 0;
    while ((open = command.find("'{", open)) != std::string::npos) {
        size_t close = command.find("}'", open);
        if (close == std::string::npos)
            break;
        command.erase(open, close + 2 - open);
    }
    return command;
}

void private_router_files()
{
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || mount("tmpfs", "/opt", "tmpfs", 0, "size=16m") != 0 || mount("tmpfs", "/tmp", "tmpfs", 0, "size=64m") != 0
        || mkdir("/opt/quillmesh", 0755) != 0 || mkdir("/opt/quillmesh/etc", 0755) != 0) {
        perror("control_msg_fuzz: private /opt and /tmp");
        abort();
    }
    FILE* f = fopen("/opt/quillmesh/etc/settings.ovpn", "w");
    require(f != nullptr);
    fputs("QUILLMESH_TUNDEV=lo\nQUILLMESH_REMOTE_IPADDR=10.8.0.1\n", f);
    fclose(f);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qm_set_log_sink([](int, const std::string&) {});
    private_router_files();
    sys = new recording_system();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string request(reinterpret_cast<const char*>(data), size);
    std::string response;
    sys->commands.clear();
    if (process_control_msg(request, response)) {
        // Whatever was asked, the answer is a well-formed envelope.
        cJSON* parsed = cJSON_Parse(response.c_str());
        require(parsed != nullptr);
        require(cJSON_IsArray(cJSON_GetObjectItem(parsed, "B")));
        cJSON_Delete(parsed);
    }
    for (const std::string& line : sys->commands) {
        std::string command = without_awk_programs(line);
        require(command.find_first_of(";\n\r") == std::string::npos && command.find("$(") == std::string::npos);
    }
    return 0;
}
