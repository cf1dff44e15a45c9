// The real quillmeshd started in the sandbox: the start-up steps before the resource manager
// (DS certificate check, device certificate, version check) and how each of them ends it.
#include "certs/sandbox_guard.h"
#include "common/file_util.h"
#include "common/system.h"
#include "standins.h"
#include "support/test_support.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
const char* const MESSAGES = "/var/log/messages";
const std::string SSL_DIR = "/var/data/quillmesh_certs/certificates/ssl";

std::string capture(const std::string& command)
{
    std::string out;
    run_shell_capture(command, &out);
    return out;
}
} // namespace

class DaemonStartup : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(in_sandbox()) << "this test starts the daemon on the router's paths: run it through qm-sandbox";
        // The daemon detaches twice; as subreaper this process collects it and learns its status.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        ASSERT_EQ(
            run_shell("rm -rf /var/data/quillmesh_certs /opt/quillmesh && mkdir -p /opt/quillmesh/etc " + SSL_DIR), 0);
        // Nothing answers discovery: a daemon that gets that far keeps retrying it.
        write_file("/opt/quillmesh/etc/settings",
            "MOD_QUILLMESH_ENABLED=1\nMOD_QUILLMESH_LOCAL_DS_IP1=10.99.0.1\nMOD_QUILLMESH_DS_PORT=4999\n"
            "MOD_QUILLMESH_SYSLOG_LEVEL=7\nMOD_QUILLMESH_RECOVERY_TIMEOUT=1\nMOD_QUILLMESH_RECOVERY_COUNTER=3\n");
        write_file("/opt/quillmesh/etc/settings.ovpn", "QUILLMESH_ENABLED=1\nQUILLMESH_TUNDEV=tun0\n");
        standins::openvpnd_version("");
        log_start = read_file(MESSAGES).size();
    }
    void TearDown() override
    {
        stop();
        standins::openvpnd_version("");
        if (!old_path.empty())
            setenv("PATH", old_path.c_str(), 1);
    }

    void install_ds_certificate()
    {
        ASSERT_EQ(run_shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=ds "
                            "-keyout "
                      + SSL_DIR + "/ds_key.pem -out " + SSL_DIR + "/ds_cert.crt >/dev/null 2>&1"),
            0);
    }

    // A line of this daemon at that priority, as the router's syslogd writes it.
    bool logged(const std::string& priority, const std::string& text) const
    {
        return log().find("daemon." + priority + " quillmeshd[" + std::to_string(started_pid) + "]: " + text)
            != std::string::npos;
    }

    // This run's part of the system log.
    std::string log() const { return read_file(MESSAGES).substr(log_start); }

    bool wait_for_log(const std::string& text, int seconds) const
    {
        for (int i = 0; i < seconds * 10; ++i) {
            if (log().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // Starts the daemon and returns once it has said "started.".
    void start()
    {
        ASSERT_EQ(run_shell(QM_DAEMON_PATH), 0); // returns when the daemon has detached
        ASSERT_TRUE(wait_for_log("]: started.", 30)) << log();
        std::string text = log();
        size_t end = text.find("]: started.");
        size_t begin = text.rfind("quillmeshd[", end) + std::string("quillmeshd[").size();
        pid = atoi(text.substr(begin, end - begin).c_str());
        started_pid = pid;
        ASSERT_GT(pid, 1);
    }

    // The daemon's exit status once it has ended on its own; -1 when it is still running.
    int wait_for_exit(int seconds)
    {
        for (int i = 0; i < seconds * 10; ++i) {
            int status = 0;
            pid_t done;
            while ((done = waitpid(-1, &status, WNOHANG)) > 0) {
                if (done == pid) {
                    pid = -1;
                    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return -1;
    }

    void stop()
    {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        if (wait_for_exit(10) < 0) {
            kill(pid, SIGKILL);
            wait_for_exit(10);
        }
        pid = -1;
    }

    size_t log_start = 0;
    pid_t pid = -1; // while it runs
    pid_t started_pid = -1;
    std::string old_path;
};

TEST_F(DaemonStartup, ProvisionsItsCertificatePassesTheVersionCheckAndEntersDiscovery)
{
    install_ds_certificate();
    start();
    ASSERT_TRUE(wait_for_log("RM STATE: 1 (Getting CS IP). State counter: 0", 60)) << log();
    std::string text = log();
    EXPECT_TRUE(logged("info", "SSL certificate for kiv-00.0A.14.81.7A.1B generated.")) << text;
    EXPECT_NE(text.find("Versions: [OpenSSL "), std::string::npos) << text;
    EXPECT_EQ(text.find("Exiting..."), std::string::npos) << text;
    EXPECT_EQ(capture("stat -c '%n %a' " + SSL_DIR + "/dev_cert.pem " + SSL_DIR + "/dev_cert.crt"),
        SSL_DIR + "/dev_cert.pem 600\n" + SSL_DIR + "/dev_cert.crt 644\n");
    EXPECT_EQ(capture("openssl x509 -noout -subject -in " + SSL_DIR + "/dev_cert.crt"),
        "subject=CN = kiv-00.0A.14.81.7A.1B\n");
    EXPECT_FALSE(file_exists(SSL_DIR + "/dev_cert.csr"));
    EXPECT_EQ(capture("ls /tmp | grep kgen_cfg_"), "");
    stop();

    // A second start finds the pair and makes nothing.
    std::string cert = read_file(SSL_DIR + "/dev_cert.crt");
    log_start = read_file(MESSAGES).size();
    start();
    ASSERT_TRUE(wait_for_log("RM STATE: 1 (Getting CS IP). State counter: 0", 60)) << log();
    EXPECT_EQ(log().find("SSL certificate for"), std::string::npos);
    EXPECT_EQ(read_file(SSL_DIR + "/dev_cert.crt"), cert);
}

TEST_F(DaemonStartup, MissingDsCertificateEndsTheDaemonWithStatusOne)
{
    start();
    EXPECT_EQ(wait_for_exit(30), 1);
    std::string text = log();
    EXPECT_TRUE(logged(
        "crit", "DS certificate is missing (/var/data/quillmesh_certs/certificates/ssl/ds_cert.crt). Exiting..."))
        << text;
    EXPECT_FALSE(file_exists(SSL_DIR + "/dev_cert.pem"));
    EXPECT_EQ(text.find("RM STATE"), std::string::npos);
}

TEST_F(DaemonStartup, TooOldOpenvpndEndsTheDaemonWithStatusOne)
{
    install_ds_certificate();
    standins::openvpnd_version("2.3.17");
    start();
    EXPECT_EQ(wait_for_exit(60), 1);
    std::string text = log();
    EXPECT_NE(text.find("Too low version of OpenVPN (2.3.17"), std::string::npos) << text;
    EXPECT_TRUE(logged("crit", "Insufficent version of a needed application. Exiting...")) << text;
    EXPECT_EQ(text.find("RM STATE"), std::string::npos);
    // The certificate was made before the check.
    EXPECT_TRUE(file_exists(SSL_DIR + "/dev_cert.crt"));
}

TEST_F(DaemonStartup, FailingCertificateCommandEndsTheDaemonWithStatusOne)
{
    install_ds_certificate();
    temp_dir bin;
    write_file(bin.file("sudo"), "#!/bin/sh\nexit 1\n");
    chmod(bin.file("sudo").c_str(), 0755);
    old_path = getenv("PATH");
    setenv("PATH", (bin.path() + ":" + old_path).c_str(), 1); // the daemon keeps an existing PATH
    start();
    EXPECT_EQ(wait_for_exit(30), 1);
    std::string text = log();
    EXPECT_TRUE(logged("crit",
        "Unable to generate SSL certificate (Execution of [sudo openssl genpkey -algorithm EC -pkeyopt "
        "ec_paramgen_curve:P-256 -pkeyopt ec_param_enc:named_curve -out "
            + SSL_DIR + "/dev_cert.pem] has failed.). Exiting..."))
        << text;
    EXPECT_FALSE(file_exists(SSL_DIR + "/dev_cert.crt"));
}
