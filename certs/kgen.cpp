#include "certs/kgen.h"

#include "common/error.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/str_util.h"
#include "common/system.h"
#include "common/validate.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

const char* const KGEN_TEMP_DIR = "/tmp/";

namespace
{
const char* const WRONG_CFG = "Wrong openssl configuration encountered.";
const char* const TEMP_TEMPLATE = "kgen_cfg_XXXXXX";

// Command lines go through the shell unquoted: a text that could end a word or start another
// command is refused before anything runs.
void require_safe(const std::string& text)
{
    if (!is_shell_word(text))
        throw GenericError("Refusing unsafe text for an openssl command line: '" + text + "'.");
}

// The process umask while a command writes its files; sudo keeps the stricter of ours and
// its own.
class scoped_umask
{
public:
    explicit scoped_umask(mode_t mask)
        : old_(umask(mask))
    {
    }
    ~scoped_umask() { umask(old_); }
    scoped_umask(const scoped_umask&) = delete;
    scoped_umask& operator=(const scoped_umask&) = delete;

private:
    mode_t old_;
};

// A file that goes when the operation ends, however it ends.
class transient_file
{
public:
    transient_file() = default;
    explicit transient_file(std::string path)
        : path_(std::move(path))
    {
    }
    ~transient_file()
    {
        if (!path_.empty())
            unlink(path_.c_str());
    }
    transient_file(const transient_file&) = delete;
    transient_file& operator=(const transient_file&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A key file that exists already keeps its mode when openssl rewrites it: close it to others
// first, so the new key is never readable by them.
void restrict_existing_key(const std::string& path)
{
    int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        fchmod(fd, 0600);
    close(fd);
}
} // namespace

void kgen_exec(const std::string& command)
{
    std::string output;
    int status = run_shell_capture(command, &output);
    if (status != 0) {
        qm_log(LOG_DEBUG, "%s", output.c_str());
        throw GenericError("Execution of [" + command + "] has failed.");
    }
}

std::string kgen_cfg_to_temp(const kgen_cfg& cfg, const std::string& dir)
{
    std::string path = dir;
    if (path.empty() || path.back() != '/')
        path += "/";
    path += TEMP_TEMPLATE;
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        throw GenericError("Failed to create a temporary openssl configuration in " + dir + ": " + strerror(errno));
    close(fd);
    path = name.data();
    try {
        if (string_to_file(cfg.to_text(), path, "w", 0600) != 0)
            throw GenericError("Failed to write the openssl configuration " + path + ".");
    } catch (...) {
        unlink(path.c_str());
        throw;
    }
    return path;
}

void gen_raw_kpair(const kgen_key_spec& key_kind, const std::string& key_path)
{
    std::string command;
    if (key_kind.kind == KGEN_KEY_RSA) {
        require_safe(key_path);
        command = "sudo openssl genpkey -algorithm RSA -out " + key_path
            + " -pkeyopt rsa_keygen_bits:" + std::to_string(key_kind.rsa_bits);
    } else if (key_kind.kind == KGEN_KEY_EC) {
        require_safe(key_kind.curve);
        require_safe(key_path);
        command = "sudo openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:" + key_kind.curve
            + " -pkeyopt ec_param_enc:named_curve -out " + key_path;
    } else {
        throw GenericError("gen_raw_kpair: Unknown type of key-generation algorithm encountered.");
    }
    restrict_existing_key(key_path);
    {
        scoped_umask private_files(077);
        kgen_exec(command);
    }
    run_shell("chmod go-rw " + key_path);
}

void gen_csr(const kgen_cfg& cfg, const std::string& key_path, const std::string& csr_path)
{
    if (!cfg.supports({ KGEN_CSR }) && !cfg.supports({ KGEN_SELF_SIGNED }))
        throw GenericError(WRONG_CFG);
    require_safe(key_path);
    require_safe(csr_path);
    transient_file config(kgen_cfg_to_temp(cfg, KGEN_TEMP_DIR));
    std::string command = "sudo openssl req -new -key " + key_path + " -out " + csr_path
        + (cfg.has_section("v3_req") ? " -extensions v3_req" : "") + " -config " + config.path();
    scoped_umask public_files(022);
    kgen_exec(command);
}

void self_sign_cert(const std::string& csr_path, const std::string& key_path, const std::string& cert_path,
    uint32_t days, const kgen_cfg* cfg)
{
    require_safe(csr_path);
    require_safe(key_path);
    require_safe(cert_path);
    std::string command = "sudo openssl x509 -req -days " + std::to_string(days) + " -in " + csr_path + " -signkey "
        + key_path + " -sha256 -out " + cert_path;
    std::optional<transient_file> config;
    if (cfg && cfg->has_section("v3_ca")) {
        config.emplace(kgen_cfg_to_temp(*cfg, KGEN_TEMP_DIR));
        command += " -extfile " + config->path() + " -extensions v3_ca";
    }
    scoped_umask public_files(022);
    kgen_exec(command);
}

void gen_self_signed_cert(const kgen_key_spec& key_kind, const kgen_cfg& cfg, const kgen_files& files, uint32_t days)
{
    if (!cfg.supports({ KGEN_SELF_SIGNED }))
        throw GenericError(WRONG_CFG);
    require_safe(files.key());
    gen_raw_kpair(key_kind, files.key());
    // The request is only a step towards the certificate: it goes whatever happens.
    transient_file request(files.csr());
    gen_csr(cfg, files.key(), files.csr());
    self_sign_cert(files.csr(), files.key(), files.cert(), days, &cfg);
}

bool verify_cert(const std::string& ca_file, const std::string& cert_path, const std::vector<std::string>& untrusted,
    bool no_check_time)
{
    if (!is_shell_word(ca_file) || !is_shell_word(cert_path))
        return false;
    std::string command = "sudo openssl verify -CAfile " + ca_file;
    for (const std::string& intermediate : untrusted) {
        if (!is_shell_word(intermediate))
            return false;
        command += " -untrusted " + intermediate;
    }
    if (no_check_time)
        command += " -no_check_time";
    command += " " + cert_path + " >/dev/null";
    return run_shell(command) == 0;
}

void gen_dhparam(const kgen_files& files, uint32_t bits)
{
    require_safe(files.dh());
    kgen_exec("sudo openssl dhparam -out " + files.dh() + " " + std::to_string(bits));
}

void gen_crl(const kgen_cfg& cfg, const kgen_files& files)
{
    require_safe(files.crl());
    transient_file config(kgen_cfg_to_temp(cfg, KGEN_TEMP_DIR));
    scoped_umask public_files(022);
    kgen_exec("sudo openssl ca -gencrl -out " + files.crl() + " -config " + config.path());
}

void sign_csr(
    const kgen_cfg& cfg, const std::string& csr_path, const std::string& cert_path, const std::string& pass_phrase)
{
    if (!cfg.supports({ KGEN_CA_SIGN }))
        throw GenericError("Wrong openssl configuration encountered: not usable for signing CSR.");
    require_safe(cert_path);
    require_safe(csr_path);
    if (!pass_phrase.empty())
        require_safe(pass_phrase);
    transient_file config(kgen_cfg_to_temp(cfg, KGEN_TEMP_DIR));
    std::string command = "sudo openssl ca -out " + cert_path + " -in " + csr_path + " -batch -notext"
        + (cfg.has_section("v3_ca") ? " -extensions v3_ca" : "")
        + (pass_phrase.empty() ? "" : " -passin pass:" + pass_phrase) + " -config " + config.path();
    scoped_umask public_files(022);
    kgen_exec(command);
}

void gen_signed_cert(
    const kgen_key_spec& key_kind, const kgen_cfg& cfg, const kgen_files& files, const std::string& pass_phrase)
{
    if (!cfg.supports({ KGEN_CSR, KGEN_CA_SIGN }))
        throw GenericError(WRONG_CFG);
    require_safe(files.key());
    gen_raw_kpair(key_kind, files.key());
    transient_file request(files.csr());
    gen_csr(cfg, files.key(), files.csr());
    sign_csr(cfg, files.csr(), files.cert(), pass_phrase);
}

void revoke_cert(
    const kgen_cfg& cfg, const std::string& cert_path, const std::string& crl_path, const std::string& reason)
{
    if (!cfg.supports({ KGEN_REVOKE }))
        throw GenericError(WRONG_CFG);
    require_safe(cert_path);
    require_safe(crl_path);
    require_safe(reason);
    transient_file config(kgen_cfg_to_temp(cfg, KGEN_TEMP_DIR));
    scoped_umask public_files(022);
    kgen_exec("sudo openssl ca -batch -config " + config.path() + " -revoke " + cert_path + " -crl_reason " + reason
        + " && sudo openssl ca -batch -config " + config.path() + " -gencrl -out " + crl_path);
}

void randomize_serial(const std::string& serial_path, const std::string& database)
{
    if (!database.empty())
        require_safe(database);
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string serial = random_string(16, "0123456789");
        bool taken
            = !database.empty() && run_shell("awk -F '\\t' '{print $4}' " + database + " | grep -q -x " + serial) == 0;
        if (taken)
            continue;
        if (string_to_file(serial, serial_path, "w") != 0)
            throw GenericError("Failed to write the serial file " + serial_path + ".");
        return;
    }
    throw GenericError("Repeatadly failed to randomize the serial file for certificate generation.");
}
