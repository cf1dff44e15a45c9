#include "fake_router.h"

#include <cerrno>
#include <cstring>

fake_router::fake_router()
{
    // Side operations whose result rarely matters succeed unless a test says otherwise.
    by_default("ovpn_stop", { 1 });
    by_default("flush_one_to_one_nat", { 1 });
    by_default("ovpn_credentials_delete", { 1 });
    by_default("iface_addr_mask", { 0 });
    by_default("peer_address", { 0, 0, ipv4("10.8.0.1") });
    by_default("set_receive_timeout", { 0 });
    by_default("read_message", { 1 });
    by_default("ovpn_write", { 1 });
    by_default("apply_staged_files", { 1 });
}

void fake_router::script(const std::string& op, std::vector<reply> replies)
{
    auto& queue = scripts_[op];
    queue.insert(queue.end(), replies.begin(), replies.end());
}

size_t fake_router::count(const std::string& op) const
{
    size_t n = 0;
    for (const auto& c : calls)
        n += c == op;
    return n;
}

reply fake_router::next(const std::string& op)
{
    calls.push_back(op);
    reply r { 0 };
    auto& queue = scripts_[op];
    if (!queue.empty()) {
        r = queue.front();
        queue.pop_front();
    } else {
        auto d = defaults_.find(op);
        if (d == defaults_.end())
            throw script_end(op);
        r = d->second;
    }
    errno = r.error;
    return r;
}

void fake_router::sleep(std::chrono::milliseconds duration)
{
    unsigned seconds = static_cast<unsigned>(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
    pauses.push_back(seconds);
    clock += seconds;
    if (pause_limit_ && pauses.size() >= pause_limit_)
        throw script_end("pause");
}

std::chrono::steady_clock::time_point fake_router::now()
{
    return std::chrono::steady_clock::time_point(std::chrono::seconds(clock));
}

rm_operations fake_router::table()
{
    rm_operations ops;
    auto plain = [this](const char* op) { return [this, op] { return next(op).value; }; };
    ops.obtain_cs_ip = plain("obtain_cs_ip");
    ops.register_on_cs = plain("register_on_cs");
    ops.get_ovpn_detail_approval = [this](unsigned* sleep_time) {
        if (!sleep_time)
            throw std::logic_error("approval without sleep_time");
        reply r = next("get_ovpn_detail_approval");
        if (r.out >= 0)
            *sleep_time = static_cast<unsigned>(r.out);
        errno = r.error;
        return r.value;
    };
    ops.obtain_ovpn_details = plain("obtain_ovpn_details");
    ops.ovpn_credentials_present = plain("ovpn_credentials_present");
    ops.ovpn_credentials_delete = plain("ovpn_credentials_delete");
    ops.ovpn_stop = plain("ovpn_stop");
    ops.ovpn_restart = plain("ovpn_restart");
    ops.tunnel_status = plain("tunnel_status");
    ops.managing_socket_stale = managing_socket_stale;
    ops.cs_reachable = plain("cs_reachable");
    ops.flush_one_to_one_nat = [this] { return next("flush_one_to_one_nat").value != 0; };
    ops.tunnel_device = [this](char* buffer) { strcpy(buffer, tunnel_device.c_str()); };
    ops.remote_address = [](char* buffer) { strcpy(buffer, "192.0.2.1"); };
    ops.iface_addr_mask = [this](const char* name, uint32_t* address, uint32_t* netmask) {
        reply r = next("iface_addr_mask");
        if (r.value == 0) {
            if (name != tunnel_device)
                throw std::logic_error(std::string("address asked for ") + name);
            *address = ipv4(tunnel_address.c_str());
            *netmask = ipv4(tunnel_netmask.c_str());
        }
        return r.value;
    };
    ops.create_managing_socket = plain("create_managing_socket");
    ops.select = [this](int listener, unsigned timeout) {
        if (listener < 0)
            throw std::logic_error("select without a managing socket");
        select_timeouts.push_back(timeout);
        return next("select").value;
    };
    ops.accept_control_connection = [this](int) { return next("accept_control_connection").value; };
    ops.peer_address = [this](int, uint32_t* address) {
        reply r = next("peer_address");
        if (r.value == 0)
            *address = static_cast<uint32_t>(r.out);
        errno = r.error;
        return r.value;
    };
    ops.set_receive_timeout = [this](int, unsigned seconds) {
        if (seconds != 10)
            throw std::logic_error("unexpected receive timeout");
        return next("set_receive_timeout").value;
    };
    ops.read_message = [this](int, std::string& message) {
        if (!next("read_message").value)
            return false;
        message = messages.empty() ? "{\"H\":{\"V\":113},\"B\":[]}" : messages.front();
        if (!messages.empty())
            messages.pop_front();
        return true;
    };
    ops.process_control_msg = [this](const std::string& request, std::string& out) {
        requests.push_back(request);
        reply r = next("process_control_msg");
        if (r.value)
            out = response;
        errno = r.error;
        return r.value != 0;
    };
    ops.ovpn_write = [this](int, const std::string& text) {
        written.push_back(text);
        return next("ovpn_write").value != 0;
    };
    ops.close = [this](int fd) { closed.push_back(fd); };
    ops.fence_managing_socket = [this](uint32_t cs_address) {
        calls.push_back("fence_managing_socket");
        fenced_for = cs_address;
        return true;
    };
    ops.trial_tick = [this] {
        ++trial_ticks;
        return trial_left;
    };
    ops.trial_awaits_cs = [this] { return trial_waits; };
    ops.trial_heard_from_cs = [this](const char* how) {
        if (!trial_waits)
            return;
        calls.push_back("trial_heard_from_cs");
        heard.push_back(how);
    };
    ops.ping = [this](uint32_t address, unsigned wait_seconds) {
        calls.push_back("ping");
        pinged.push_back(address);
        ping_waits.push_back(wait_seconds);
        return ping_answers;
    };
    ops.apply_staged_files = [this] { next("apply_staged_files"); };
    ops.module_download = [this](const std::string& base_url) {
        base_urls.push_back(base_url);
        return next("module_download").value;
    };
    ops.module_install = [this] { return next("module_install").value != 0; };
    return ops;
}
