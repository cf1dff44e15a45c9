// The openssl command wrappers with the real openssl, in the router sandbox. A recording
// `sudo` in front of the real one shows the exact command lines and the umask they ran with.
#include "certs/kgen.h"
#include "common/error.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/system.h"
#include "sandbox_guard.h"
#include "support/test_support.h"

#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const std::string CERT_DIR = "/var/data/quillmesh_test_certs";

mode_t mode_of(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

std::vector<std::string> kgen_temp_files()
{
    std::vector<std::string> found;
    DIR* d = opendir("/tmp");
    if (!d)
        return found;
    while (dirent* e = readdir(d)) {
        if (std::string(e->d_name).find("kgen_cfg_") != std::string::npos)
            found.push_back(e->d_name);
    }
    closedir(d);
    return found;
}

std::string capture(const std::string& command)
{
    std::string out;
    run_shell_capture(command, &out);
    return out;
}

time_t asn1_time(const std::string& text)
{
    // "notBefore=Dec  8 23:17:41 2026 GMT"
    struct tm tm = {};
    strptime(text.substr(text.find('=') + 1).c_str(), "%b %d %H:%M:%S %Y", &tm);
    return timegm(&tm);
}

} // namespace

class KgenSandbox : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(run_shell("rm -rf " + CERT_DIR + " && mkdir -p " + CERT_DIR), 0);
        // The recording sudo: one line per call with the arguments and the umask, then the real
        // sudo, unless a failure was asked for.
        write_file(bin.file("sudo"),
            "#!/bin/sh\necho \"$* umask=$(umask)\" >> " + bin.file("calls") + "\n[ -f " + bin.file("fail")
                + " ] && exit 1\nexec /usr/bin/sudo \"$@\"\n");
        chmod(bin.file("sudo").c_str(), 0755);
        old_path = getenv("PATH");
        setenv("PATH", (bin.path() + ":" + old_path).c_str(), 1);
    }
    void TearDown() override
    {
        setenv("PATH", old_path.c_str(), 1);
        run_shell("rm -rf " + CERT_DIR);
        EXPECT_TRUE(kgen_temp_files().empty()) << "temporary configuration left in /tmp";
    }
    std::vector<std::string> calls() const { return split_lines(read_file(bin.file("calls"))); }
    std::string path(const std::string& name) const { return CERT_DIR + "/" + name; }

    kgen_cfg self_signed_cfg(const std::string& cn) const
    {
        kgen_cfg cfg;
        cfg.set_self_signed({ cn, "", "", "", "" });
        return cfg;
    }

    temp_dir bin;
    std::string old_path;
};

TEST_F(KgenSandbox, SelfSignedPairIsPrivateKeyPlusVerifiableCertificateAndNothingElse)
{
    kgen_key_spec ec; // EC P-256
    kgen_files files { "dev", CERT_DIR };
    gen_self_signed_cert(ec, self_signed_cfg("kiv-00.0A.14.81.7A.1B"), files, 9999);

    EXPECT_EQ(mode_of(files.key()), 0600u);
    EXPECT_EQ(mode_of(files.cert()), 0644u);
    EXPECT_FALSE(file_exists(files.csr()));
    EXPECT_EQ(capture("ls " + CERT_DIR), "dev.crt\ndev.pem\n");

    EXPECT_EQ(capture("openssl x509 -in " + files.cert() + " -noout -subject"), "subject=CN = kiv-00.0A.14.81.7A.1B\n");
    std::string key = capture("openssl pkey -in " + files.key() + " -noout -text");
    EXPECT_NE(key.find("NIST CURVE: P-256"), std::string::npos) << key;
    auto dates = split_lines(capture("openssl x509 -in " + files.cert() + " -noout -startdate -enddate"));
    ASSERT_EQ(dates.size(), 2u);
    EXPECT_EQ(asn1_time(dates[1]) - asn1_time(dates[0]), 9999L * 24 * 3600);
    EXPECT_EQ(run_shell("openssl verify -CAfile " + files.cert() + " " + files.cert() + " >/dev/null"), 0);
    EXPECT_TRUE(verify_cert(files.cert(), files.cert()));

    auto c = calls();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0],
        "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -pkeyopt ec_param_enc:named_curve -out "
            + files.key() + " umask=0077");
    EXPECT_EQ(
        c[1].rfind("openssl req -new -key " + files.key() + " -out " + files.csr() + " -config /tmp/kgen_cfg_", 0), 0u)
        << c[1];
    EXPECT_EQ(c[2],
        "openssl x509 -req -days 9999 -in " + files.csr() + " -signkey " + files.key() + " -sha256 -out " + files.cert()
            + " umask=0022");
    EXPECT_EQ(c[3].rfind("openssl verify -CAfile " + files.cert() + " " + files.cert() + " umask=", 0), 0u) << c[3];
}

TEST_F(KgenSandbox, ExistingWorldReadableKeyIsClosedBeforeTheNewKeyIsWritten)
{
    write_file(path("old.pem"), "old key");
    chmod(path("old.pem").c_str(), 0644);
    // The recording sudo also notes the key's mode at the moment openssl starts.
    write_file(bin.file("sudo"),
        "#!/bin/sh\nstat -c %a " + path("old.pem") + " >> " + bin.file("modes") + "\nexec /usr/bin/sudo \"$@\"\n");
    gen_raw_kpair(kgen_key_spec {}, path("old.pem"));
    EXPECT_EQ(read_file(bin.file("modes")), "600\n");
    EXPECT_EQ(mode_of(path("old.pem")), 0600u);
    EXPECT_NE(read_file(path("old.pem")).find("PRIVATE KEY"), std::string::npos);
}

TEST_F(KgenSandbox, RsaKeyCommandLine)
{
    kgen_key_spec rsa;
    rsa.kind = KGEN_KEY_RSA;
    rsa.rsa_bits = 2048;
    gen_raw_kpair(rsa, path("r.pem"));
    ASSERT_EQ(calls().size(), 1u);
    EXPECT_EQ(calls()[0],
        "openssl genpkey -algorithm RSA -out " + path("r.pem") + " -pkeyopt rsa_keygen_bits:2048 umask=0077");
    EXPECT_EQ(mode_of(path("r.pem")), 0600u);
    EXPECT_NE(capture("openssl pkey -in " + path("r.pem") + " -noout -text").find("2048 bit"), std::string::npos);
}

TEST_F(KgenSandbox, RefusalsRunNothingAndLeaveNoFile)
{
    kgen_key_spec odd;
    odd.kind = 2;
    EXPECT_EQ(message_of([&] { gen_raw_kpair(odd, path("x.pem")); }),
        "gen_raw_kpair: Unknown type of key-generation algorithm encountered.");

    kgen_cfg csr_only;
    csr_only.set_csr({ "n", "", "", "", "" });
    EXPECT_EQ(message_of([&] {
        gen_self_signed_cert(kgen_key_spec {}, csr_only, { "y", CERT_DIR }, 1);
    }),
        "Wrong openssl configuration encountered.");

    kgen_cfg none;
    EXPECT_EQ(
        message_of([&] { gen_csr(none, path("k.pem"), path("r.csr")); }), "Wrong openssl configuration encountered.");
    EXPECT_EQ(message_of([&] { sign_csr(csr_only, path("r.csr"), path("c.crt"), ""); }),
        "Wrong openssl configuration encountered: not usable for signing CSR.");
    EXPECT_EQ(message_of([&] {
        gen_signed_cert(kgen_key_spec {}, csr_only, { "z", CERT_DIR }, "");
    }),
        "Wrong openssl configuration encountered.");
    EXPECT_EQ(message_of([&] { revoke_cert(csr_only, path("c.crt"), path("c.crl"), "keyCompromise"); }),
        "Wrong openssl configuration encountered.");

    // Texts that would end the word or start another command never reach the shell.
    EXPECT_THROW(gen_raw_kpair(kgen_key_spec {}, path("k.pem;touch " + path("owned"))), GenericError);
    EXPECT_THROW(gen_self_signed_cert(kgen_key_spec {}, self_signed_cfg("n"), { "a b", CERT_DIR }, 1), GenericError);
    EXPECT_FALSE(verify_cert(path("c.crt"), path("c.crt") + " $(touch " + path("owned") + ")"));

    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(capture("ls " + CERT_DIR), "");
}

TEST_F(KgenSandbox, FailingOpensslNamesTheWholeCommandAndLogsItsOutput)
{
    kgen_key_spec bad;
    bad.curve = "P-999";
    log_capture log;
    EXPECT_EQ(message_of([&] { gen_raw_kpair(bad, path("k.pem")); }),
        "Execution of [sudo openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-999 -pkeyopt "
        "ec_param_enc:named_curve -out "
            + path("k.pem") + "] has failed.");
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines()[0].priority, LOG_DEBUG);
    EXPECT_NE(log.lines()[0].text.find("invalid curve"), std::string::npos) << log.lines()[0].text;
}

TEST_F(KgenSandbox, FailedSelfSigningKeepsTheKeyButLeavesNoRequestOrConfiguration)
{
    kgen_files files { "dev", CERT_DIR };
    // genpkey and req succeed, x509 fails.
    write_file(bin.file("sudo"), "#!/bin/sh\ncase \"$2\" in x509) exit 1;; esac\nexec /usr/bin/sudo \"$@\"\n");
    std::string msg = message_of([&] { gen_self_signed_cert(kgen_key_spec {}, self_signed_cfg("kiv-1"), files, 5); });
    EXPECT_EQ(msg.rfind("Execution of [sudo openssl x509 -req -days 5 -in " + files.csr(), 0), 0u) << msg;
    EXPECT_TRUE(file_exists(files.key()));
    EXPECT_FALSE(file_exists(files.csr()));
    EXPECT_FALSE(file_exists(files.cert()));
}

TEST_F(KgenSandbox, OptionalSectionsShapeTheCommandLines)
{
    run_shell("touch " + bin.file("fail"));
    kgen_cfg with_req = self_signed_cfg("n");
    with_req.add_custom_oid({ "1.2.3.4", "qmX", "v" }, false);
    EXPECT_THROW(gen_csr(with_req, path("k.pem"), path("r.csr")), GenericError);

    kgen_cfg with_ca = self_signed_cfg("n");
    with_ca.insert_default_extensions(KGEN_USAGE_CA, true);
    EXPECT_THROW(self_sign_cert(path("r.csr"), path("k.pem"), path("c.crt"), 3, &with_ca), GenericError);
    EXPECT_THROW(self_sign_cert(path("r.csr"), path("k.pem"), path("c.crt"), 3, &with_req), GenericError);
    EXPECT_THROW(self_sign_cert(path("r.csr"), path("k.pem"), path("c.crt"), 3, nullptr), GenericError);

    kgen_cfg signer;
    signer.set_ca_sign({ "k", "c", "d", "s" }, 1, {});
    EXPECT_THROW(sign_csr(signer, path("r.csr"), path("c.crt"), ""), GenericError);
    EXPECT_THROW(sign_csr(signer, path("r.csr"), path("c.crt"), "s3cret"), GenericError);

    auto c = calls();
    ASSERT_EQ(c.size(), 6u);
    EXPECT_NE(c[0].find(" -out " + path("r.csr") + " -extensions v3_req -config /tmp/kgen_cfg_"), std::string::npos)
        << c[0];
    EXPECT_NE(c[1].find(" -out " + path("c.crt") + " -extfile /tmp/kgen_cfg_"), std::string::npos) << c[1];
    EXPECT_NE(c[1].find(" -extensions v3_ca umask="), std::string::npos) << c[1];
    for (int i : { 2, 3 })
        EXPECT_EQ(c[i],
            "openssl x509 -req -days 3 -in " + path("r.csr") + " -signkey " + path("k.pem") + " -sha256 -out "
                + path("c.crt") + " umask=0022");
    EXPECT_EQ(
        c[4].rfind(
            "openssl ca -out " + path("c.crt") + " -in " + path("r.csr") + " -batch -notext -config /tmp/kgen_cfg_", 0),
        0u)
        << c[4];
    EXPECT_NE(c[5].find(" -batch -notext -passin pass:s3cret -config /tmp/kgen_cfg_"), std::string::npos) << c[5];
}

// A throwaway certificate authority: sign, verify, revoke, list the revocation.
TEST_F(KgenSandbox, CertificateAuthorityRoundTrip)
{
    kgen_files ca_files { "ca", CERT_DIR };
    kgen_ca ca { ca_files.key(), ca_files.cert(), path("index.txt"), path("serial") };
    kgen_cfg ca_cfg = self_signed_cfg("QuillMesh Test CA");
    ca_cfg.insert_default_extensions(KGEN_USAGE_CA, true);
    gen_self_signed_cert(kgen_key_spec {}, ca_cfg, ca_files, 30);
    EXPECT_NE(capture("openssl x509 -in " + ca.certificate + " -noout -text").find("CA:TRUE"), std::string::npos);

    write_file(ca.database, "");
    randomize_serial(ca.serial, ca.database);
    std::string serial = read_file(ca.serial);
    EXPECT_EQ(serial.size(), 16u);
    EXPECT_EQ(serial.find_first_not_of("0123456789"), std::string::npos);

    kgen_cfg client;
    client.set_csr({ "router-1", "", "", "", "" });
    client.set_ca_sign(ca, 10, { { "1.3.6.1.4.1.55555.1", "qmRole", "router" } });
    client.insert_default_extensions(KGEN_USAGE_CLIENT, false);
    kgen_files leaf { "leaf", CERT_DIR };
    gen_signed_cert(kgen_key_spec {}, client, leaf, "");
    EXPECT_FALSE(file_exists(leaf.csr()));
    EXPECT_EQ(mode_of(leaf.key()), 0600u);
    EXPECT_TRUE(verify_cert(ca.certificate, leaf.cert()));
    std::string text = capture("openssl x509 -in " + leaf.cert() + " -noout -text");
    EXPECT_NE(text.find("TLS Web Client Authentication"), std::string::npos) << text;
    EXPECT_NE(text.find("router"), std::string::npos);

    // Another CA's certificate is not accepted.
    kgen_files other { "other", CERT_DIR };
    gen_self_signed_cert(kgen_key_spec {}, self_signed_cfg("other"), other, 1);
    EXPECT_FALSE(verify_cert(ca.certificate, other.cert()));

    kgen_cfg revoke;
    revoke.set_revoke(ca);
    revoke_cert(revoke, leaf.cert(), path("ca.crl"), "keyCompromise");
    std::string crl = capture("openssl crl -in " + path("ca.crl") + " -noout -text");
    std::string leaf_serial = capture("openssl x509 -in " + leaf.cert() + " -noout -serial");
    leaf_serial = leaf_serial.substr(leaf_serial.find('=') + 1);
    leaf_serial.pop_back();
    EXPECT_NE(crl.find("Serial Number: " + leaf_serial), std::string::npos) << leaf_serial << "\n" << crl;
    EXPECT_NE(crl.find("Key Compromise"), std::string::npos);
    EXPECT_NE(
        run_shell("cat " + ca.certificate + " " + path("ca.crl") + " > " + path("chain.pem")
            + " && openssl verify -crl_check -CAfile " + path("chain.pem") + " " + leaf.cert() + " >/dev/null 2>&1"),
        0);

    kgen_cfg crl_cfg;
    crl_cfg.set_crl(ca.certificate, ca.private_key, ca.database);
    gen_crl(crl_cfg, ca_files);
    EXPECT_NE(capture("openssl crl -in " + ca_files.crl() + " -noout -text").find("Serial Number: " + leaf_serial),
        std::string::npos);

    gen_dhparam(ca_files, 512);
    EXPECT_NE(capture("openssl dhparam -in " + ca_files.dh() + " -noout -text").find("512 bit"), std::string::npos);

    // The command lines of the authority's operations, as openssl got them.
    auto find_call = [this](const std::string& start) {
        for (const std::string& call : calls()) {
            if (call.rfind(start, 0) == 0)
                return call.substr(0, call.rfind(" umask="));
        }
        return std::string("(no call) ") + start;
    };
    EXPECT_EQ(find_call("openssl dhparam"), "openssl dhparam -out " + ca_files.dh() + " 512");
    std::string sign = find_call("openssl ca -out ");
    EXPECT_EQ(sign.rfind("openssl ca -out " + leaf.cert() + " -in " + leaf.csr()
                      + " -batch -notext -extensions v3_ca -config /tmp/kgen_cfg_",
                  0),
        0u)
        << sign;
    std::string revoked = find_call("openssl ca -batch -config ");
    size_t config_at = std::string("openssl ca -batch -config ").size();
    std::string config = revoked.substr(config_at, revoked.find(' ', config_at) - config_at);
    EXPECT_EQ(
        revoked, "openssl ca -batch -config " + config + " -revoke " + leaf.cert() + " -crl_reason keyCompromise");
    EXPECT_EQ(find_call("openssl ca -batch -config " + config + " -gencrl"),
        "openssl ca -batch -config " + config + " -gencrl -out " + path("ca.crl"));
    std::string crl_call = find_call("openssl ca -gencrl");
    EXPECT_EQ(crl_call.rfind("openssl ca -gencrl -out " + ca_files.crl() + " -config /tmp/kgen_cfg_", 0), 0u)
        << crl_call;
}

TEST_F(KgenSandbox, SerialThatIsAlwaysTakenGivesUpAfterThreeTries)
{
    // A grep that finds every serial in the index.
    write_file(bin.file("grep"), "#!/bin/sh\necho try >> " + bin.file("tries") + "\nexit 0\n");
    chmod(bin.file("grep").c_str(), 0755);
    write_file(path("index.txt"), "");
    EXPECT_EQ(message_of([&] { randomize_serial(path("serial"), path("index.txt")); }),
        "Repeatadly failed to randomize the serial file for certificate generation.");
    EXPECT_EQ(read_file(bin.file("tries")), "try\ntry\ntry\n");
    EXPECT_FALSE(file_exists(path("serial")));
    // Without an index database nothing is tested.
    randomize_serial(path("serial"), "");
    EXPECT_EQ(read_file(path("serial")).size(), 16u);
    EXPECT_EQ(read_file(bin.file("tries")), "try\ntry\ntry\n");
}
