// Starts the real quillmeshd, with every real operation, on a router where no discovery server
// answers, and watches it reach discovery and retry it.
#include "common/system.h"
#include "support/test_support.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

const char* const MESSAGES = "/var/log/messages";
const char* const CERT_DIR = "/var/data/quillmesh_certs/certificates/ssl";

// The daemon detaches at once; its process number comes from its own "started." line.
class daemon_process
{
public:
    ~daemon_process() { stop(); }
    void set(pid_t pid) { pid_ = pid; }
    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 50 && kill(pid_, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (kill(pid_, 0) == 0)
            kill(pid_, SIGKILL);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

pid_t started_pid(const std::string& log)
{
    const std::string tail = "]: started.";
    size_t end = log.find(tail);
    if (end == std::string::npos)
        return -1;
    size_t begin = log.rfind("quillmeshd[", end);
    if (begin == std::string::npos)
        return -1;
    begin += std::string("quillmeshd[").size();
    return static_cast<pid_t>(atoi(log.substr(begin, end - begin).c_str()));
}

bool wait_for(const std::string& text, int seconds)
{
    for (int i = 0; i < seconds * 10; ++i) {
        if (read_file(MESSAGES).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

void self_signed(const std::string& key, const std::string& cert)
{
    std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                          "-subj /CN=qm-test -keyout "
        + key + " -out " + cert + " >/dev/null 2>&1";
    ASSERT_EQ(run_shell(command), 0) << command;
}

std::string module_settings_text(const std::string& ds_lines)
{
    return "MOD_QUILLMESH_ENABLED=1\n" + ds_lines
        + "MOD_QUILLMESH_UCID=test-customer\n"
          "MOD_QUILLMESH_DS_PORT=4999\n"
          "MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_SSL=5000\n"
          "MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_UDP=5001\n"
          "MOD_QUILLMESH_CONTROL_CHANNEL_PORT=5002\n"
          "MOD_QUILLMESH_SYSLOG_LEVEL=7\n"
          "MOD_QUILLMESH_RECOVERY_TIMEOUT=5\n"
          "MOD_QUILLMESH_RECOVERY_COUNTER=3\n";
}

// Discovery first finds no DS at all and gives up after its 20 empty candidate lists (about a
// minute); the daemon then pauses its recovery timeout and discovers again, this time with a DS
// address on the CS side where nothing listens, which discovery keeps retrying.
TEST(DaemonSandbox, ReachesDiscoveryAndRetriesItWithNoDsReachable)
{
    ASSERT_TRUE(in_sandbox()) << "this test changes the router's paths and must run in the sandbox";
    ASSERT_EQ(run_shell(std::string("mkdir -p /opt/quillmesh/etc ") + CERT_DIR), 0);
    write_file("/opt/quillmesh/etc/settings", module_settings_text(""));
    write_file("/opt/quillmesh/etc/settings.ovpn", "QUILLMESH_ENABLED=1\nQUILLMESH_TUNDEV=tun0\n");
    self_signed(std::string(CERT_DIR) + "/ds_key.pem", std::string(CERT_DIR) + "/ds_cert.crt");
    self_signed(std::string(CERT_DIR) + "/dev_cert.pem", std::string(CERT_DIR) + "/dev_cert.crt");

    daemon_process daemon;
    ASSERT_EQ(run_shell(QM_DAEMON_PATH), 0); // returns as soon as the daemon has detached
    ASSERT_TRUE(wait_for("]: started.", 30)) << read_file(MESSAGES);
    daemon.set(started_pid(read_file(MESSAGES)));

    ASSERT_TRUE(wait_for("RM STATE: 1 (Getting CS IP). State counter: 0", 30)) << read_file(MESSAGES);
    ASSERT_TRUE(wait_for("Getting CS IP failed. Next attempt in 5 s.", 120)) << read_file(MESSAGES);
    write_file("/opt/quillmesh/etc/settings", module_settings_text("MOD_QUILLMESH_LOCAL_DS_IP1=10.99.0.1\n"));

    EXPECT_TRUE(wait_for("RM STATE: 1 (Getting CS IP). State counter: 1", 30)) << read_file(MESSAGES);
    EXPECT_TRUE(wait_for("Trying to connect to DS 10.99.0.1:4999. Attempt: 2", 60)) << read_file(MESSAGES);
    std::string log = read_file(MESSAGES);
    EXPECT_NE(log.find("No DS IP address found."), std::string::npos);
    EXPECT_EQ(log.find("RM STATE: 0"), std::string::npos);
    EXPECT_EQ(log.find("CS's IP was successfuly obtained."), std::string::npos);
    EXPECT_EQ(log.find("RM STATE: 2"), std::string::npos);
    daemon.stop();
}

} // namespace
