#include "certs/kgen_cfg.h"

#include "common/error.h"

#include <algorithm>

namespace
{
const char* const CUSTOM_OIDS = "custom_oids";
const char* const POLICY_MATCH = "policy_match";
// Keys of [policy_match] that come first, in this order.
const char* const POLICY_FIRST[] = { "commonName", "organizationName", "emailAddress", "localityName" };

bool has_line_break(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}
} // namespace

void kgen_cfg::insert(const std::string& section, const std::string& key, const std::string& value)
{
    if (section.empty() || key.empty() || has_line_break(section) || has_line_break(key) || has_line_break(value))
        throw GenericError("kgen_cfg::insert - invalid parameters: [" + section + "][" + key + "]");
    if (value.empty())
        return;
    sections_[section][key] = value;
}

bool kgen_cfg::has_section(const std::string& name) const
{
    return sections_.count(name) != 0;
}

bool kgen_cfg::supports(const std::vector<int32_t>& kinds) const
{
    return std::all_of(kinds.begin(), kinds.end(),
        [this](int32_t kind) { return std::find(kinds_.begin(), kinds_.end(), kind) != kinds_.end(); });
}

std::string kgen_cfg::value(const std::string& section, const std::string& key) const
{
    auto s = sections_.find(section);
    if (s == sections_.end())
        return {};
    auto k = s->second.find(key);
    return k == s->second.end() ? std::string() : k->second;
}

std::string kgen_cfg::to_text() const
{
    std::string text;
    if (has_section(CUSTOM_OIDS))
        text += std::string("oid_section = ") + CUSTOM_OIDS + "\n";
    for (const auto& [name, keys] : sections_) {
        text += "[" + name + "]\n";
        if (name == POLICY_MATCH) {
            for (const char* first : POLICY_FIRST) {
                auto k = keys.find(first);
                if (k != keys.end())
                    text += k->first + "=" + k->second + "\n";
            }
            for (const auto& [key, value] : keys) {
                if (std::find(std::begin(POLICY_FIRST), std::end(POLICY_FIRST), key) == std::end(POLICY_FIRST))
                    text += key + "=" + value + "\n";
            }
            continue;
        }
        for (const auto& [key, value] : keys)
            text += key + "=" + value + "\n";
    }
    return text;
}

void kgen_cfg::set_req_dn(const kgen_subject& subject)
{
    insert("req", "distinguished_name", "req_distinguished_name");
    insert("req_distinguished_name", "CN", subject.common_name);
    insert("req_distinguished_name", "C", subject.country_name);
    insert("req_distinguished_name", "O", subject.organization_name);
    insert("req_distinguished_name", "L", subject.locality_name);
    insert("req_distinguished_name", "emailAddress", subject.email_address);
}

void kgen_cfg::set_csr(const kgen_subject& subject)
{
    set_req_dn(subject);
    insert("req", "prompt", "no");
    kinds_.push_back(KGEN_CSR);
}

void kgen_cfg::set_self_signed(const kgen_subject& subject)
{
    set_req_dn(subject);
    insert("req", "prompt", "no");
    kinds_.push_back(KGEN_SELF_SIGNED);
}

void kgen_cfg::set_crl(const std::string& certificate, const std::string& private_key, const std::string& database)
{
    insert("ca", "default_ca", "CA_default");
    insert("CA_default", "certificate", certificate);
    insert("CA_default", "private_key", private_key);
    insert("CA_default", "database", database);
    insert("CA_default", "default_md", "sha256");
    insert("CA_default", "default_crl_days", "9999");
    kinds_.push_back(KGEN_CRL);
}

void kgen_cfg::set_ca_sign(const kgen_ca& ca, uint32_t days, const std::vector<kgen_oid>& oids)
{
    for (const kgen_oid& oid : oids)
        add_custom_oid(oid, true);
    insert("ca", "default_ca", "CA_default");
    insert("CA_default", "certificate", ca.certificate);
    insert("CA_default", "private_key", ca.private_key);
    insert("CA_default", "database", ca.database);
    insert("CA_default", "serial", ca.serial);
    insert("CA_default", "new_certs_dir", "/tmp/");
    insert("CA_default", "default_days", std::to_string(days));
    insert("CA_default", "policy", "policy_match");
    insert("CA_default", "default_md", "sha256");
    insert("policy_match", "stateOrProvinceName", "optional");
    insert("policy_match", "organizationalUnitName", "optional");
    insert("policy_match", "localityName", "optional");
    insert("policy_match", "organizationName", "optional");
    insert("policy_match", "commonName", "supplied");
    insert("policy_match", "emailAddress", "optional");
    insert("policy_match", "countryName", "optional");
    kinds_.push_back(KGEN_CA_SIGN);
}

void kgen_cfg::set_revoke(const kgen_ca& ca)
{
    insert("ca", "default_ca", "CA_default");
    insert("CA_default", "certificate", ca.certificate);
    insert("CA_default", "private_key", ca.private_key);
    insert("CA_default", "database", ca.database);
    insert("CA_default", "serial", ca.serial);
    insert("CA_default", "default_md", "sha256");
    insert("CA_default", "default_crl_days", "9999");
    kinds_.push_back(KGEN_REVOKE);
}

void kgen_cfg::set_start_date(const std::string& date)
{
    insert("CA_default", "default_startdate", date);
}

void kgen_cfg::add_custom_oid(const kgen_oid& oid, bool v3_ca)
{
    insert(CUSTOM_OIDS, oid.name, oid.oid);
    insert(v3_ca ? "v3_ca" : "v3_req", oid.oid, "ASN1:UTF8String:" + oid.value);
}

void kgen_cfg::insert_default_extensions(int32_t usage, bool self_signed)
{
    insert("CA_default", "x509_extensions", "v3_ca");
    if (!self_signed)
        insert("v3_ca", "authorityKeyIdentifier", "keyid:always");
    switch (usage) {
    case KGEN_USAGE_CLIENT:
        insert("v3_ca", "extendedKeyUsage", "critical, clientAuth");
        insert("v3_ca", "keyUsage", "digitalSignature, keyEncipherment");
        insert("v3_ca", "basicConstraints", "critical, CA:FALSE");
        break;
    case KGEN_USAGE_SERVER:
        insert("v3_ca", "extendedKeyUsage", "critical, serverAuth");
        insert("v3_ca", "keyUsage", "digitalSignature, keyEncipherment");
        insert("v3_ca", "basicConstraints", "critical, CA:FALSE");
        break;
    case KGEN_USAGE_CA:
        insert("v3_ca", "basicConstraints", "critical, CA:TRUE");
        insert("v3_ca", "keyUsage", "cRLSign, keyCertSign");
        insert("v3_ca", "subjectKeyIdentifier", "hash");
        break;
    case KGEN_USAGE_END_ENTITY:
        insert("v3_ca", "basicConstraints", "critical, CA:FALSE");
        break;
    default:
        throw GenericError("insert_default_extensions: Unsupported type of certificate usage limit.");
    }
}
