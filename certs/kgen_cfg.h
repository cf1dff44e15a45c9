// An openssl configuration in memory: named sections of key=value pairs plus the kinds of
// operation it was prepared for. The builders fill it for one kind each; to_text renders the
// configuration file that the openssl command line reads.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// Kinds of operation a configuration was prepared for.
enum kgen_kind : int32_t {
    KGEN_CSR = 0,
    KGEN_CRL = 1,
    KGEN_SELF_SIGNED = 2,
    KGEN_CA_SIGN = 3,
    KGEN_REVOKE = 4,
};

// Usage limits of insert_default_extensions.
enum kgen_usage : int32_t {
    KGEN_USAGE_CLIENT = 0,
    KGEN_USAGE_SERVER = 1,
    KGEN_USAGE_CA = 2,
    KGEN_USAGE_END_ENTITY = 3,
};

// Subject of a request; an empty text leaves the attribute out.
struct kgen_subject {
    std::string common_name;
    std::string country_name;
    std::string locality_name;
    std::string organization_name;
    std::string email_address;
};

// File paths of a certificate authority.
struct kgen_ca {
    std::string private_key;
    std::string certificate;
    std::string database;
    std::string serial;
};

// One custom attribute: dotted numeric object identifier, its short name, the text stored.
struct kgen_oid {
    std::string oid;
    std::string name;
    std::string value;
};

class kgen_cfg
{
public:
    using section_map = std::unordered_map<std::string, std::string>;

    // Sets key to value in section (created when needed). An empty value changes nothing.
    // Throws GenericError "kgen_cfg::insert - invalid parameters: [<section>][<key>]" for an
    // empty section or key, and for a section, key or value holding a line break (it would
    // end the line early and smuggle text into the file).
    void insert(const std::string& section, const std::string& key, const std::string& value);

    bool has_section(const std::string& name) const;
    // True when every kind of the list is among the configuration's kinds (true for none).
    bool supports(const std::vector<int32_t>& kinds) const;
    // The configuration in openssl syntax; "oid_section = custom_oids" first when there are
    // custom attributes, and the fixed key order of [policy_match].
    std::string to_text() const;

    const std::vector<int32_t>& kinds() const { return kinds_; }
    // The value of key in section, empty when absent.
    std::string value(const std::string& section, const std::string& key) const;

    // Builders: each inserts its keys and then appends its kind (if it has one).
    void set_req_dn(const kgen_subject& subject);
    void set_csr(const kgen_subject& subject);
    void set_self_signed(const kgen_subject& subject);
    void set_crl(const std::string& certificate, const std::string& private_key, const std::string& database);
    void set_ca_sign(const kgen_ca& ca, uint32_t days, const std::vector<kgen_oid>& oids);
    void set_revoke(const kgen_ca& ca);
    void set_start_date(const std::string& date);
    // Registers the attribute under [custom_oids] and stores its value in [v3_ca] (true) or
    // [v3_req] (false).
    void add_custom_oid(const kgen_oid& oid, bool v3_ca);
    // x509_extensions=v3_ca, authorityKeyIdentifier unless self_signed, then the extensions of
    // the usage limit (kgen_usage). Throws GenericError
    // "insert_default_extensions: Unsupported type of certificate usage limit." for others.
    void insert_default_extensions(int32_t usage, bool self_signed);

private:
    std::vector<int32_t> kinds_;
    std::unordered_map<std::string, section_map> sections_;
};
