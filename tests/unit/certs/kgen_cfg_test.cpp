// The openssl configuration builder: content of each builder, the text rules, and the text
// read back by the openssl command line itself.
#include "certs/kgen_cfg.h"
#include "common/error.h"
#include "common/system.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace
{

// The lines of one section of a rendered configuration, in their order.
std::vector<std::string> section_lines(const std::string& text, const std::string& section)
{
    std::vector<std::string> out;
    bool inside = false;
    for (const std::string& line : split_lines(text)) {
        if (!line.empty() && line[0] == '[') {
            inside = line == "[" + section + "]";
            continue;
        }
        if (inside)
            out.push_back(line);
    }
    return out;
}

// Runs a command, returning its output; fails the test on a non-zero status.
std::string run_ok(const std::string& command)
{
    std::string out;
    int status = run_shell_capture(command, &out);
    EXPECT_EQ(status, 0) << command << "\n" << out;
    return out;
}

kgen_ca test_ca(const temp_dir& dir)
{
    return { dir.file("ca.pem"), dir.file("ca.crt"), dir.file("index.txt"), dir.file("serial") };
}
} // namespace

TEST(KgenCfgInsert, EmptyValueChangesNothingAndCreatesNoSection)
{
    kgen_cfg cfg;
    cfg.insert("req", "prompt", "");
    EXPECT_FALSE(cfg.has_section("req"));
    EXPECT_EQ(cfg.to_text(), "");
}

TEST(KgenCfgInsert, EmptySectionOrKeyIsRefusedWithBothNames)
{
    kgen_cfg cfg;
    EXPECT_EQ(message_of([&] { cfg.insert("", "x", "y"); }), "kgen_cfg::insert - invalid parameters: [][x]");
    EXPECT_EQ(message_of([&] { cfg.insert("s", "", "y"); }), "kgen_cfg::insert - invalid parameters: [s][]");
    EXPECT_EQ(cfg.to_text(), "");
}

TEST(KgenCfgInsert, LineBreakCannotSmuggleLinesIntoTheFile)
{
    kgen_cfg cfg;
    EXPECT_THROW(cfg.insert("req", "CN", "a\n[ca]\ndefault_ca=evil"), GenericError);
    EXPECT_THROW(cfg.insert("req\n", "CN", "a"), GenericError);
    EXPECT_FALSE(cfg.has_section("req"));
}

TEST(KgenCfgInsert, LaterValueReplacesTheEarlierOne)
{
    kgen_cfg cfg;
    cfg.insert("s", "k", "1");
    cfg.insert("s", "k", "2");
    EXPECT_EQ(cfg.value("s", "k"), "2");
    EXPECT_EQ(section_lines(cfg.to_text(), "s"), std::vector<std::string> { "k=2" });
}

TEST(KgenCfgSupports, KindsOfTheBuildersThatRan)
{
    kgen_cfg cfg;
    cfg.set_self_signed({ "kiv-1", "", "", "", "" });
    EXPECT_FALSE(cfg.supports({ KGEN_CSR }));
    EXPECT_TRUE(cfg.supports({ KGEN_SELF_SIGNED }));
    EXPECT_TRUE(cfg.supports({}));
    EXPECT_FALSE(cfg.supports({ KGEN_SELF_SIGNED, KGEN_CA_SIGN }));
    cfg.set_ca_sign({ "k", "c", "d", "s" }, 10, {});
    EXPECT_TRUE(cfg.supports({ KGEN_SELF_SIGNED, KGEN_CA_SIGN }));
    EXPECT_EQ(cfg.kinds(), (std::vector<int32_t> { KGEN_SELF_SIGNED, KGEN_CA_SIGN }));
}

TEST(KgenCfgText, DeviceConfigurationHasTwoSectionsWithTheirLines)
{
    kgen_cfg cfg;
    cfg.set_self_signed({ "kiv-00.0A.14.81.7A.1B", "", "", "", "" });
    std::string text = cfg.to_text();
    EXPECT_EQ(split_lines(text).size(), 5u);
    auto req = section_lines(text, "req");
    std::sort(req.begin(), req.end());
    EXPECT_EQ(req, (std::vector<std::string> { "distinguished_name=req_distinguished_name", "prompt=no" }));
    EXPECT_EQ(section_lines(text, "req_distinguished_name"), std::vector<std::string> { "CN=kiv-00.0A.14.81.7A.1B" });
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find("\n\n"), std::string::npos);
    EXPECT_EQ(cfg.to_text(), text);
}

TEST(KgenCfgText, EmptySubjectLeavesOnlyTheRequestSection)
{
    kgen_cfg cfg;
    cfg.set_self_signed({});
    EXPECT_TRUE(cfg.has_section("req"));
    EXPECT_FALSE(cfg.has_section("req_distinguished_name"));
    EXPECT_EQ(split_lines(cfg.to_text()).size(), 3u);
}

TEST(KgenCfgText, CustomOidsAnnouncedOnTheFirstLine)
{
    kgen_cfg cfg;
    cfg.set_csr({ "n", "", "", "", "" });
    cfg.add_custom_oid({ "1.3.6.1.4.1.55555.1", "qmRole", "router" }, false);
    auto lines = split_lines(cfg.to_text());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "oid_section = custom_oids");
    EXPECT_EQ(section_lines(cfg.to_text(), "custom_oids"), std::vector<std::string> { "qmRole=1.3.6.1.4.1.55555.1" });
    EXPECT_EQ(cfg.value("v3_req", "1.3.6.1.4.1.55555.1"), "ASN1:UTF8String:router");
    EXPECT_FALSE(cfg.has_section("v3_ca"));
}

TEST(KgenCfgText, PolicyMatchListsItsFixedKeysFirst)
{
    kgen_cfg cfg;
    cfg.set_ca_sign({ "key", "crt", "db", "serial" }, 365, {});
    auto policy = section_lines(cfg.to_text(), "policy_match");
    ASSERT_EQ(policy.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(policy.begin(), policy.begin() + 4),
        (std::vector<std::string> {
            "commonName=supplied", "organizationName=optional", "emailAddress=optional", "localityName=optional" }));
    std::vector<std::string> rest(policy.begin() + 4, policy.end());
    std::sort(rest.begin(), rest.end());
    EXPECT_EQ(rest,
        (std::vector<std::string> {
            "countryName=optional", "organizationalUnitName=optional", "stateOrProvinceName=optional" }));
}

TEST(KgenCfgBuilders, CaSignRevokeCrlAndStartDateContent)
{
    kgen_cfg sign;
    sign.set_ca_sign({ "key", "crt", "db", "serial" }, 365, { { "1.2.3.4", "qmTag", "x" } });
    EXPECT_EQ(sign.value("ca", "default_ca"), "CA_default");
    EXPECT_EQ(sign.value("CA_default", "private_key"), "key");
    EXPECT_EQ(sign.value("CA_default", "certificate"), "crt");
    EXPECT_EQ(sign.value("CA_default", "database"), "db");
    EXPECT_EQ(sign.value("CA_default", "serial"), "serial");
    EXPECT_EQ(sign.value("CA_default", "new_certs_dir"), "/tmp/");
    EXPECT_EQ(sign.value("CA_default", "default_days"), "365");
    EXPECT_EQ(sign.value("CA_default", "policy"), "policy_match");
    EXPECT_EQ(sign.value("CA_default", "default_md"), "sha256");
    EXPECT_EQ(sign.value("v3_ca", "1.2.3.4"), "ASN1:UTF8String:x");

    kgen_cfg revoke;
    revoke.set_revoke({ "key", "crt", "db", "serial" });
    EXPECT_EQ(revoke.value("CA_default", "default_crl_days"), "9999");
    EXPECT_EQ(revoke.value("CA_default", "serial"), "serial");
    EXPECT_EQ(revoke.kinds(), std::vector<int32_t> { KGEN_REVOKE });

    kgen_cfg crl;
    crl.set_crl("crt", "key", "db");
    crl.set_start_date("20260101000000Z");
    EXPECT_EQ(crl.value("CA_default", "certificate"), "crt");
    EXPECT_EQ(crl.value("CA_default", "private_key"), "key");
    EXPECT_EQ(crl.value("CA_default", "default_startdate"), "20260101000000Z");
    EXPECT_EQ(crl.kinds(), std::vector<int32_t> { KGEN_CRL });
}

TEST(KgenCfgBuilders, DefaultExtensionsByUsageLimit)
{
    struct usage_case {
        int32_t usage;
        std::vector<std::pair<std::string, std::string>> expected;
    } cases[] = {
        { KGEN_USAGE_CLIENT,
            { { "extendedKeyUsage", "critical, clientAuth" }, { "keyUsage", "digitalSignature, keyEncipherment" },
                { "basicConstraints", "critical, CA:FALSE" } } },
        { KGEN_USAGE_SERVER,
            { { "extendedKeyUsage", "critical, serverAuth" }, { "keyUsage", "digitalSignature, keyEncipherment" },
                { "basicConstraints", "critical, CA:FALSE" } } },
        { KGEN_USAGE_CA,
            { { "basicConstraints", "critical, CA:TRUE" }, { "keyUsage", "cRLSign, keyCertSign" },
                { "subjectKeyIdentifier", "hash" } } },
        { KGEN_USAGE_END_ENTITY, { { "basicConstraints", "critical, CA:FALSE" } } },
    };
    for (const auto& c : cases) {
        kgen_cfg cfg;
        cfg.insert_default_extensions(c.usage, false);
        EXPECT_EQ(cfg.value("CA_default", "x509_extensions"), "v3_ca");
        EXPECT_EQ(cfg.value("v3_ca", "authorityKeyIdentifier"), "keyid:always");
        EXPECT_EQ(section_lines(cfg.to_text(), "v3_ca").size(), c.expected.size() + 1) << c.usage;
        for (const auto& [key, value] : c.expected)
            EXPECT_EQ(cfg.value("v3_ca", key), value) << c.usage << " " << key;
    }
    kgen_cfg self_signed;
    self_signed.insert_default_extensions(KGEN_USAGE_CA, true);
    EXPECT_EQ(self_signed.value("v3_ca", "authorityKeyIdentifier"), "");
}

TEST(KgenCfgBuilders, UnsupportedUsageLimitThrowsAfterTheCommonInserts)
{
    kgen_cfg cfg;
    EXPECT_EQ(message_of([&] { cfg.insert_default_extensions(4, false); }),
        "insert_default_extensions: Unsupported type of certificate usage limit.");
    EXPECT_EQ(cfg.value("CA_default", "x509_extensions"), "v3_ca");
    EXPECT_EQ(cfg.value("v3_ca", "authorityKeyIdentifier"), "keyid:always");
}

// openssl reads what we write.
class KgenCfgOpenssl : public ::testing::Test
{
protected:
    void SetUp() override
    {
        run_ok("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + dir.file("k.pem") + " 2>&1");
    }
    std::string write_cfg(const kgen_cfg& cfg, const std::string& name = "cfg")
    {
        write_file(dir.file(name), cfg.to_text());
        return dir.file(name);
    }
    temp_dir dir;
};

TEST_F(KgenCfgOpenssl, DeviceConfigurationMakesARequestWithExactlyThatSubject)
{
    kgen_cfg cfg;
    cfg.set_self_signed({ "kiv-00.0A.14.81.7A.1B", "", "", "", "" });
    run_ok("openssl req -new -key " + dir.file("k.pem") + " -out " + dir.file("r.csr") + " -config " + write_cfg(cfg));
    EXPECT_EQ(
        run_ok("openssl req -in " + dir.file("r.csr") + " -noout -subject"), "subject=CN = kiv-00.0A.14.81.7A.1B\n");
}

TEST_F(KgenCfgOpenssl, FullSubjectAndCustomAttributeAreReadByOpenssl)
{
    kgen_cfg cfg;
    cfg.set_csr({ "router-7", "CZ", "Brno", "Quill", "ops@example.com" });
    cfg.add_custom_oid({ "1.3.6.1.4.1.55555.1", "qmRole", "gateway" }, false);
    run_ok("openssl req -new -key " + dir.file("k.pem") + " -out " + dir.file("r.csr") + " -extensions v3_req -config "
        + write_cfg(cfg));
    std::string subject = run_ok("openssl req -in " + dir.file("r.csr") + " -noout -subject -nameopt sep_multiline");
    for (const char* part : { "CN=router-7", "C=CZ", "L=Brno", "O=Quill", "emailAddress=ops@example.com" })
        EXPECT_NE(subject.find(part), std::string::npos) << part << " in " << subject;
    // The attribute's section and the oid_section line are read as openssl configuration.
    EXPECT_NE(run_ok("openssl req -new -key " + dir.file("k.pem") + " -reqexts v3_req -config " + dir.file("cfg")
                  + " | openssl req -noout -text")
                  .find("gateway"),
        std::string::npos);
}

TEST_F(KgenCfgOpenssl, DefaultExtensionsAreUnderstoodWhenSigning)
{
    kgen_cfg req;
    req.set_csr({ "srv", "", "", "", "" });
    run_ok("openssl req -new -key " + dir.file("k.pem") + " -out " + dir.file("r.csr") + " -config " + write_cfg(req));
    struct {
        int32_t usage;
        const char* expect;
    } cases[] = { { KGEN_USAGE_CLIENT, "TLS Web Client Authentication" },
        { KGEN_USAGE_SERVER, "TLS Web Server Authentication" }, { KGEN_USAGE_CA, "CA:TRUE" },
        { KGEN_USAGE_END_ENTITY, "CA:FALSE" } };
    for (const auto& c : cases) {
        kgen_cfg ext;
        ext.insert_default_extensions(c.usage, true);
        ext.add_custom_oid({ "1.3.6.1.4.1.55555.2", "qmSite", "north" }, true);
        std::string out = run_ok("openssl x509 -req -days 1 -in " + dir.file("r.csr") + " -signkey " + dir.file("k.pem")
            + " -extfile " + write_cfg(ext, "ext") + " -extensions v3_ca -out " + dir.file("c.crt")
            + " 2>&1 && openssl x509 -in " + dir.file("c.crt") + " -noout -text");
        EXPECT_NE(out.find(c.expect), std::string::npos) << c.usage << "\n" << out;
        EXPECT_NE(out.find("north"), std::string::npos) << c.usage;
    }
}

TEST_F(KgenCfgOpenssl, CrlConfigurationProducesARevocationList)
{
    kgen_ca ca = test_ca(dir);
    run_ok(
        "openssl req -x509 -new -key " + dir.file("k.pem") + " -subj /CN=ca -days 2 -out " + ca.certificate + " 2>&1");
    run_ok("cp " + dir.file("k.pem") + " " + ca.private_key + " && : > " + ca.database);
    kgen_cfg cfg;
    cfg.set_crl(ca.certificate, ca.private_key, ca.database);
    cfg.set_start_date("20260101000000Z");
    run_ok("openssl ca -gencrl -out " + dir.file("x.crl") + " -config " + write_cfg(cfg) + " 2>&1");
    std::string crl = run_ok("openssl crl -in " + dir.file("x.crl") + " -noout -issuer");
    EXPECT_EQ(crl, "issuer=CN = ca\n");
}
