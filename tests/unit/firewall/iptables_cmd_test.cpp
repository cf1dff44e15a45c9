// The iptables command builder against the recording backend: the exact command texts, the
// test-before-change behaviour and the lines logged for failed commands.
#include "common/system_recording.h"
#include "control/firewall.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <map>
#include <string>
#include <syslog.h>
#include <vector>

namespace
{
// Scripts each status in turn for the commands beginning with `prefix`; the last one stays.
void script_in_turn(recording_system& sys, const std::string& prefix, std::initializer_list<int> statuses)
{
    size_t left = statuses.size();
    for (int status : statuses)
        sys.script(prefix, status, "", --left > 0 ? 1 : 0);
}
} // namespace

TEST(iptables_cmd, builds_the_exact_command_texts_with_the_wait_option)
{
    recording_system rec;
    script_in_turn(rec, "iptables -C", { 1 }); // no rule exists yet
    iptables_cmd ipt;
    ipt.chain_exists("iint_quillmesh", "filter");
    ipt.flush_chain("iint_quillmesh", "filter");
    ipt.create_chain("iint_quillmesh", "filter");
    ipt.rule_exists("INPUT", "-j iint_quillmesh", "filter");
    ipt.insert_rule("INPUT", "-j iint_quillmesh", "filter");
    ipt.append_rule("iint_quillmesh", "-j DROP", "filter");
    ipt.append_new_rule("ctl_quillmesh", "-j DROP", "raw"); // no look first
    ipt.delete_rule("INPUT", "-j iint_quillmesh", "filter");
    ipt.delete_chain("iint_quillmesh", "filter");
    ipt.delete_rule_by_pattern("pre_quillmesh_nat", "192.168.1.0/24", "nat");

    std::vector<std::string> expected = {
        "iptables -nL iint_quillmesh -t filter -w >/dev/null 2>/dev/null",
        "iptables -F iint_quillmesh -t filter -w 2>/dev/null",
        "iptables -n --list iint_quillmesh -t filter -w >/dev/null 2>/dev/null || iptables -N iint_quillmesh -t filter "
        "-w",
        "iptables -C INPUT -j iint_quillmesh -t filter -w 2>/dev/null",
        "iptables -C INPUT -j iint_quillmesh -t filter -w 2>/dev/null",
        "iptables -I INPUT -j iint_quillmesh -t filter -w",
        "iptables -C iint_quillmesh -j DROP -t filter -w 2>/dev/null",
        "iptables -A iint_quillmesh -j DROP -t filter -w",
        "iptables -A ctl_quillmesh -j DROP -t raw -w",
        "iptables -D INPUT -j iint_quillmesh -t filter -w",
        "iptables -X iint_quillmesh -t filter -w",
        "iptables -t nat -D pre_quillmesh_nat `iptables -t nat -nvL pre_quillmesh_nat --line-numbers -w | grep "
        "192.168.1.0/24 | awk '{print $1}' | head -n 1` -w",
    };
    EXPECT_EQ(rec.commands, expected);
}

TEST(iptables_cmd, without_the_wait_option_appends_nothing)
{
    recording_system rec;
    iptables_cmd ipt;
    ipt.set_wait(false);
    ipt.flush_chain("mangle_quillmesh_nat", "mangle");
    ipt.delete_rule_by_pattern("post_quillmesh_nat", "'mark match 0x2 '", "nat");
    std::vector<std::string> expected = {
        "iptables -F mangle_quillmesh_nat -t mangle 2>/dev/null",
        "iptables -t nat -D post_quillmesh_nat `iptables -t nat -nvL post_quillmesh_nat --line-numbers | grep "
        "'mark match 0x2 ' | awk '{print $1}' | head -n 1`",
    };
    EXPECT_EQ(rec.commands, expected);
}

TEST(iptables_cmd, existing_rules_are_neither_inserted_nor_appended_again)
{
    recording_system rec; // every "iptables -C" succeeds
    iptables_cmd ipt;
    EXPECT_TRUE(ipt.insert_rule("INPUT", "-j iint_quillmesh", "filter"));
    EXPECT_TRUE(ipt.append_rule("iint_quillmesh", "-j DROP", "filter"));
    ASSERT_EQ(rec.commands.size(), 2u);
    EXPECT_EQ(rec.commands[0].rfind("iptables -C ", 0), 0u);
    EXPECT_EQ(rec.commands[1].rfind("iptables -C ", 0), 0u);
}

TEST(iptables_cmd, failed_changes_log_their_command_and_report_failure)
{
    recording_system rec;
    script_in_turn(rec, "iptables -C", { 1 });
    script_in_turn(rec, "iptables -I", { 1 });
    script_in_turn(rec, "iptables -A", { 4 });
    script_in_turn(rec, "iptables -n", { 1 });
    iptables_cmd ipt;
    log_capture logs;
    EXPECT_FALSE(ipt.insert_rule("INPUT", "-j x", "filter"));
    EXPECT_FALSE(ipt.append_rule("x", "-j DROP", "filter"));
    EXPECT_FALSE(ipt.create_chain("x", "filter"));
    std::vector<log_line> expected = {
        { LOG_ERR, "Failed to insert iptables rule (iptables -I INPUT -j x -t filter -w)." },
        { LOG_ERR, "Failed to append iptables rule (iptables -A x -j DROP -t filter -w)." },
        { LOG_ERR,
            "Failed to create an iptables chain 'x' (iptables -n --list x -t filter -w >/dev/null 2>/dev/null || "
            "iptables -N x -t filter -w)." },
    };
    EXPECT_EQ(logs.lines(), expected);
}

TEST(iptables_cmd, a_failed_deletion_counts_when_the_rule_or_chain_is_gone)
{
    recording_system rec;
    script_in_turn(rec, "iptables -D", { 1, 1 });
    script_in_turn(rec, "iptables -C", { 1, 0 }); // first: gone; second: still there
    script_in_turn(rec, "iptables -X", { 1, 1 });
    script_in_turn(rec, "iptables -nL", { 1, 0 }); // first: gone; second: still there
    iptables_cmd ipt;
    log_capture logs;
    EXPECT_TRUE(ipt.delete_rule("INPUT", "-j x", "filter"));
    EXPECT_FALSE(ipt.delete_rule("INPUT", "-j x", "filter"));
    EXPECT_TRUE(ipt.delete_chain("x", "filter"));
    EXPECT_FALSE(ipt.delete_chain("x", "filter"));
    EXPECT_TRUE(logs.contains(LOG_WARNING, "Warning: Failed to delete iptables chain (iptables -X x -t filter -w)."));
}

TEST(iptables_cmd, conditional_operations_test_for_the_chain_in_table_filter)
{
    recording_system rec;
    script_in_turn(rec, "iptables -nL", { 1, 1, 1, 0, 0, 0 });
    iptables_cmd ipt;
    // Missing chain: only the test runs, and the operation succeeds.
    EXPECT_TRUE(ipt.flush_chain_if_exists("x", "mangle"));
    EXPECT_TRUE(ipt.delete_rule_if_chain_exists("x", "-j DROP", "mangle"));
    EXPECT_TRUE(ipt.delete_chain_if_exists("x", "mangle"));
    EXPECT_EQ(rec.commands.size(), 3u);
    for (const std::string& command : rec.commands)
        EXPECT_EQ(command, "iptables -nL x -t filter -w >/dev/null 2>/dev/null");
    // Existing chain: the operation runs in the table it was given.
    rec.commands.clear();
    EXPECT_TRUE(ipt.flush_chain_if_exists("x", "mangle"));
    EXPECT_TRUE(ipt.delete_rule_if_chain_exists("x", "-j DROP", "mangle"));
    EXPECT_TRUE(ipt.delete_chain_if_exists("x", "mangle"));
    std::vector<std::string> expected = {
        "iptables -nL x -t filter -w >/dev/null 2>/dev/null",
        "iptables -F x -t mangle -w 2>/dev/null",
        "iptables -nL x -t filter -w >/dev/null 2>/dev/null",
        "iptables -D x -j DROP -t mangle -w",
        "iptables -nL x -t filter -w >/dev/null 2>/dev/null",
        "iptables -X x -t mangle -w",
    };
    EXPECT_EQ(rec.commands, expected);
}

TEST(internet_mode, rule_texts_of_both_modes)
{
    recording_system rec;
    script_in_turn(rec, "iptables -C", { 1 }); // no rule is there yet
    log_capture logs;
    // No tunnel settings on the build machine: the CS's two rules are refused, the rest is built.
    EXPECT_FALSE(manage_internet_connection(0));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Invalid CS address '' in the tunnel settings."));
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Inserting CS rule into iint_quillmesh failed."));
    std::vector<std::string> changes;
    for (const std::string& c : rec.commands)
        if (c.rfind("iptables -C", 0) != 0)
            changes.push_back(c);
    const std::string lan = "192.168.0.0/16,172.16.0.0/12,10.0.0.0/8,127.0.0.0/24 -j ACCEPT";
    EXPECT_EQ(changes,
        (std::vector<std::string> {
            "iptables -n --list iint_quillmesh -t filter -w >/dev/null 2>/dev/null || "
            "iptables -N iint_quillmesh -t filter -w",
            "iptables -n --list oint_quillmesh -t filter -w >/dev/null 2>/dev/null || "
            "iptables -N oint_quillmesh -t filter -w",
            "iptables -I INPUT -j iint_quillmesh -t filter -w",
            "iptables -I OUTPUT -j oint_quillmesh -t filter -w",
            "iptables -I FORWARD -j iint_quillmesh -t filter -w",
            "iptables -I FORWARD -j oint_quillmesh -t filter -w",
            "iptables -A iint_quillmesh -j DROP -t filter -w",
            "iptables -A oint_quillmesh -j DROP -t filter -w",
            "iptables -I iint_quillmesh -s " + lan + " -t filter -w",
            "iptables -I oint_quillmesh -d " + lan + " -t filter -w",
        }));

    rec.commands.clear();
    EXPECT_TRUE(manage_internet_connection(1));
    std::vector<std::string> removals;
    for (const std::string& c : rec.commands)
        if (c.rfind("iptables -nL", 0) != 0)
            removals.push_back(c);
    EXPECT_EQ(removals,
        (std::vector<std::string> {
            "iptables -F iint_quillmesh -t filter -w 2>/dev/null",
            "iptables -F oint_quillmesh -t filter -w 2>/dev/null",
            "iptables -D INPUT -j iint_quillmesh -t filter -w",
            "iptables -D OUTPUT -j oint_quillmesh -t filter -w",
            "iptables -D FORWARD -j iint_quillmesh -t filter -w",
            "iptables -D FORWARD -j oint_quillmesh -t filter -w",
            "iptables -X iint_quillmesh -t filter -w",
            "iptables -X oint_quillmesh -t filter -w",
        }));
}
