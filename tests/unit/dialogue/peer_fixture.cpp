#include "dialogue/peer_fixture.h"

#include "common/system.h"
#include "dialogue/cs_exchange.h"
#include "dialogue/device_cert.h"
#include "dialogue/discovery.h"
#include "settings/module_settings.h"
#include "support/test_support.h"

#include <chrono>
#include <cjson/cJSON.h>
#include <cstdlib>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

std::vector<unsigned> dialogue_pauses(const recording_system& sys)
{
    std::vector<unsigned> pauses;
    for (unsigned s : sys.sleep_seconds()) {
        if (s > 1)
            pauses.push_back(s);
    }
    return pauses;
}

namespace
{

const std::string server_script = std::string(QM_SOURCE_DIR) + "/tests/peers/ds_cs_server.py";
const std::string qm_peer = std::string(QM_SOURCE_DIR) + "/tests/sandbox/qm-peer";

void must(int status, const std::string& what)
{
    if (status != 0)
        throw std::runtime_error("test set-up failed: " + what);
}

} // namespace

const std::string& test_cert_dir()
{
    static const std::string dir = [] {
        if (!in_sandbox())
            throw std::runtime_error("dialogue tests write the router's real paths: run them in the sandbox");
        std::string d = "/tmp/qm-dialogue-certs";
        must(run_shell("rm -rf " + d + " && /usr/bin/python3 " + server_script + " gen-certs " + d), "gen-certs");
        return d;
    }();
    return dir;
}

std::string test_cert(const std::string& name)
{
    return test_cert_dir() + "/" + name;
}

std::string peer_address()
{
    const char* netns = getenv("QM_CS_NETNS");
    return netns && *netns ? "10.99.0.1" : "127.0.0.1";
}

peer_server::peer_server(int ds_port, int cs_port, int udp_port, const std::string& address,
    const std::vector<std::string>& extra, bool in_router)
{
    char templ[] = "/tmp/qm-peer-XXXXXX";
    if (!mkdtemp(templ))
        throw std::runtime_error("mkdtemp failed");
    dir_ = templ;
    std::vector<std::string> args;
    const char* netns = getenv("QM_CS_NETNS");
    if (!in_router && netns && *netns)
        args.push_back(qm_peer);
    args.insert(args.end(),
        { "/usr/bin/python3", server_script, "--addr", address, "--client-ca", test_cert("dev.crt"), "--cs-answer-cert",
            test_cert("cs.crt"), "--ovpn-ca", test_cert("ovpn_ca.crt"), "--ovpn-cert", test_cert("ovpn_cert.crt"),
            "--ovpn-key", test_cert("ovpn_key.pem"), "--script", dir_ + "/script.json", "--record", dir_ + "/record",
            "--ready", dir_ + "/ready" });
    if (ds_port)
        args.insert(args.end(),
            { "--ds-port", std::to_string(ds_port), "--ds-cert", test_cert("ds.crt"), "--ds-key",
                test_cert("ds.key") });
    if (cs_port)
        args.insert(args.end(),
            { "--cs-port", std::to_string(cs_port), "--cs-cert", test_cert("cs.crt"), "--cs-key",
                test_cert("cs.key") });
    if (udp_port)
        args.insert(args.end(), { "--udp-port", std::to_string(udp_port) });
    args.insert(args.end(), extra.begin(), extra.end());
    if (address == "10.99.0.1" || address == "127.0.0.1")
        args.insert(args.end(), { "--cs-ip", peer_address() });

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        setpgid(0, 0);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    setpgid(pid_, pid_);
    for (int i = 0; i < 200; ++i) {
        if (access((dir_ + "/ready").c_str(), F_OK) == 0)
            return;
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("test server ended at start-up");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("test server did not start");
}

peer_server::~peer_server()
{
    if (pid_ > 0) {
        kill(-pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    run_shell("rm -rf '" + dir_ + "'");
}

void peer_server::script(const std::string& json)
{
    // Replaced through a new file so that the server sees the change at once.
    write_file(dir_ + "/script.tmp", json);
    must(rename((dir_ + "/script.tmp").c_str(), (dir_ + "/script.json").c_str()), "script");
}

std::vector<peer_record> peer_server::records() const
{
    std::vector<peer_record> out;
    std::istringstream in(read_file(dir_ + "/record"));
    std::string line;
    while (std::getline(in, line)) {
        cJSON* entry = cJSON_Parse(line.c_str());
        if (!entry)
            continue;
        peer_record r;
        auto text = [&](const char* key) {
            cJSON* item = cJSON_GetObjectItem(entry, key);
            return cJSON_IsString(item) ? std::string(item->valuestring) : std::string();
        };
        r.server = text("server");
        r.event = text("event");
        r.request = text("request");
        r.client_cert = cJSON_IsTrue(cJSON_GetObjectItem(entry, "client_cert"));
        cJSON_Delete(entry);
        out.push_back(r);
    }
    return out;
}

std::vector<peer_record> peer_server::requests(const std::string& server) const
{
    std::vector<peer_record> out;
    for (auto& r : records())
        if (r.server == server && r.event == "request")
            out.push_back(r);
    return out;
}

void peer_server::clear_records()
{
    unlink((dir_ + "/record").c_str());
}

void install_device_files()
{
    must(run_shell(std::string("mkdir -p /opt/quillmesh/etc ") + CERTS_SSL_DIR), "mkdir");
    must(run_shell("cp " + test_cert("dev.crt") + " " + DEVICE_CERT_PATH + " && cp " + test_cert("dev.pem") + " "
             + DEVICE_KEY_PATH + " && cp " + test_cert("ds.crt") + " " + DS_CERT_PATH),
        "device files");
}

void write_module_settings(const std::string& text)
{
    write_file(MODULE_SETTINGS_PATH, text);
}

void write_tunnel_settings(const std::string& text)
{
    write_file(TUNNEL_SETTINGS_PATH, text);
}

std::string module_settings_text()
{
    return read_file(MODULE_SETTINGS_PATH);
}

std::string tunnel_settings_text()
{
    return read_file(TUNNEL_SETTINGS_PATH);
}

void remove_dialogue_files()
{
    run_shell(std::string("rm -rf ") + QM_CS_CERT_FILE + " " + QM_OVPN_DIR);
}
