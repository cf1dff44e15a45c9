// Provisioning of the device's key and certificate at start-up, with the real openssl and the
// sandbox's status stand-in.
#include "common/error.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/router_status.h"
#include "common/system.h"
#include "dialogue/device_cert.h"
#include "sandbox_guard.h"
#include "support/test_support.h"

#include <cstdlib>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
mode_t mode_of(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

std::string capture(const std::string& command)
{
    std::string out;
    run_shell_capture(command, &out);
    return out;
}

std::string public_key_of_key(const std::string& key)
{
    return capture("openssl pkey -in " + std::string(key) + " -pubout");
}

std::string public_key_of_cert(const std::string& cert)
{
    return capture("openssl x509 -in " + std::string(cert) + " -noout -pubkey");
}
} // namespace

class DeviceCertificate : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(run_shell(std::string("rm -rf ") + CERTS_SSL_DIR + " && mkdir -p " + CERTS_SSL_DIR), 0);
        write_file("/var/sandbox/status/lan", "MAC Address     : 00:0A:14:81:7A:1B\n");
        unlink("/var/sandbox/status/lan.rc");
        router_status_forget();
        write_file(bin.file("sudo"),
            "#!/bin/sh\necho \"$*\" >> " + bin.file("calls") + "\n[ -f " + bin.file("fail")
                + " ] && exit 1\nexec /usr/bin/sudo \"$@\"\n");
        chmod(bin.file("sudo").c_str(), 0755);
        old_path = getenv("PATH");
        setenv("PATH", (bin.path() + ":" + old_path).c_str(), 1);
    }
    void TearDown() override
    {
        setenv("PATH", old_path.c_str(), 1);
        run_shell(std::string("rm -rf ") + CERTS_SSL_DIR);
        EXPECT_EQ(capture("ls /tmp | grep kgen_cfg_"), "");
    }
    temp_dir bin;
    std::string old_path;
};

TEST_F(DeviceCertificate, FirstStartMakesAPrivateKeyAndASelfSignedCertificateForTheMac)
{
    log_capture log;
    provision_device_certificate();
    EXPECT_EQ(log.texts(), std::vector<std::string> { "SSL certificate for kiv-00.0A.14.81.7A.1B generated." });
    EXPECT_EQ(log.lines()[0].priority, LOG_INFO);
    EXPECT_EQ(mode_of(DEVICE_KEY_PATH), 0600u);
    EXPECT_EQ(mode_of(DEVICE_CERT_PATH), 0644u);
    EXPECT_EQ(capture(std::string("ls ") + CERTS_SSL_DIR), "dev_cert.crt\ndev_cert.pem\n");
    EXPECT_EQ(capture(std::string("openssl x509 -noout -subject -in ") + DEVICE_CERT_PATH),
        "subject=CN = kiv-00.0A.14.81.7A.1B\n");
    EXPECT_NE(capture(std::string("openssl x509 -noout -text -in ") + DEVICE_CERT_PATH).find("NIST CURVE: P-256"),
        std::string::npos);
    EXPECT_EQ(
        run_shell(std::string("openssl verify -CAfile ") + DEVICE_CERT_PATH + " " + DEVICE_CERT_PATH + " >/dev/null"),
        0);
    // Valid for 9999 days from now: not expiring within 9998 days, expired within 10000.
    EXPECT_EQ(
        run_shell(std::string("openssl x509 -noout -checkend 863827200 -in ") + DEVICE_CERT_PATH + " >/dev/null"), 0);
    EXPECT_NE(
        run_shell(std::string("openssl x509 -noout -checkend 864000000 -in ") + DEVICE_CERT_PATH + " >/dev/null"), 0);
    EXPECT_EQ(public_key_of_key(DEVICE_KEY_PATH), public_key_of_cert(DEVICE_CERT_PATH));
}

TEST_F(DeviceCertificate, NoMacAddressGivesTheFixedName)
{
    write_file("/var/sandbox/status/lan.rc", "1\n");
    EXPECT_EQ(device_common_name(), "kiv-123456789");
    provision_device_certificate();
    EXPECT_EQ(
        capture(std::string("openssl x509 -noout -subject -in ") + DEVICE_CERT_PATH), "subject=CN = kiv-123456789\n");
    router_status_forget();
    write_file("/var/sandbox/status/lan", "MAC Address : N/A\n");
    unlink("/var/sandbox/status/lan.rc");
    EXPECT_EQ(device_common_name(), "kiv-123456789");
}

TEST_F(DeviceCertificate, ExistingPairIsLeftAloneSilently)
{
    write_file(DEVICE_KEY_PATH, "key");
    write_file(DEVICE_CERT_PATH, "cert");
    log_capture log;
    provision_device_certificate();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(read_file(DEVICE_KEY_PATH), "key");
    EXPECT_EQ(read_file(DEVICE_CERT_PATH), "cert");
    EXPECT_FALSE(file_exists(bin.file("calls")));
}

TEST_F(DeviceCertificate, CertificateWithoutItsKeyIsReplacedByANewPair)
{
    write_file(DEVICE_CERT_PATH, "stale certificate");
    provision_device_certificate();
    EXPECT_EQ(public_key_of_key(DEVICE_KEY_PATH), public_key_of_cert(DEVICE_CERT_PATH));
    unlink(DEVICE_CERT_PATH);
    std::string key_before = read_file(DEVICE_KEY_PATH);
    provision_device_certificate();
    EXPECT_NE(read_file(DEVICE_KEY_PATH), key_before);
    EXPECT_EQ(public_key_of_key(DEVICE_KEY_PATH), public_key_of_cert(DEVICE_CERT_PATH));
}

TEST_F(DeviceCertificate, FailedProvisioningLeavesNoCertificateThatPassesForAPair)
{
    write_file(DEVICE_CERT_PATH, "certificate of an older key");
    // The key is made, the request too, the signing fails.
    write_file(bin.file("sudo"), "#!/bin/sh\ncase \"$2\" in x509) exit 1;; esac\nexec /usr/bin/sudo \"$@\"\n");
    log_capture log;
    try {
        provision_device_certificate();
        ADD_FAILURE() << "nothing thrown";
    } catch (const GenericError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Execution of [sudo openssl x509 -req -days 9999 -in "
                          + std::string(CERTS_SSL_DIR) + "/dev_cert.csr -signkey ",
                      0),
            0u)
            << e.what();
    }
    EXPECT_FALSE(log.contains_text("SSL certificate for kiv-00.0A.14.81.7A.1B generated."));
    EXPECT_TRUE(file_exists(DEVICE_KEY_PATH));
    EXPECT_FALSE(file_exists(DEVICE_CERT_PATH));
    EXPECT_FALSE(file_exists(std::string(CERTS_SSL_DIR) + "/dev_cert.csr"));

    // The next start makes both.
    write_file(bin.file("sudo"), "#!/bin/sh\nexec /usr/bin/sudo \"$@\"\n");
    provision_device_certificate();
    EXPECT_EQ(public_key_of_key(DEVICE_KEY_PATH), public_key_of_cert(DEVICE_CERT_PATH));
}
