// Settings carry-over of the updater: which keys survive, how values are requoted, the
// firewall aliases, and that the new settings file is replaced whole or not at all.
#include "grafter/settings_merge.h"
#include "support/test_support.h"

#include <cctype>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <string>
#include <sys/stat.h>

namespace
{
struct merge_files {
    temp_dir dir;
    std::string new_path = dir.file("settings");
    std::string old_path = dir.file("settings.old");

    int merge(const std::string& new_content, const std::string& old_content)
    {
        write_file(new_path, new_content);
        write_file(old_path, old_content);
        return merge_settings(new_path.c_str(), old_path.c_str());
    }
    std::string merged() const { return read_file(new_path); }
};

// settings_lookup_alias over an old file with the given content; "<none>" when absent.
std::string alias(const std::string& old_content, const char* key)
{
    temp_dir dir;
    write_file(dir.file("old"), old_content);
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(dir.file("old").c_str(), "r"), fclose);
    char* value = settings_lookup_alias(file.get(), key);
    std::string out = value ? value : "<none>";
    free(value);
    return out;
}

ino_t inode_of(const std::string& path)
{
    struct stat st {
    };
    stat(path.c_str(), &st);
    return st.st_ino;
}
} // namespace

TEST(merge_settings, takes_old_values_for_the_new_keys_and_drops_the_rest)
{
    merge_files f;
    EXPECT_EQ(1, f.merge("A=1\nB=2\nC=\"x y\"\n", "B=5\nD=7\n"));
    EXPECT_EQ("A=1\nB=5\nC=\"x y\"\n", f.merged());
}

TEST(merge_settings, leaves_the_file_untouched_when_nothing_changed)
{
    merge_files f;
    const std::string content = "# defaults\n\nA=1\nB=\"two words\"\n";
    write_file(f.new_path, content);
    ino_t before = inode_of(f.new_path);
    write_file(f.old_path, "a=1\nB=two words\n");
    EXPECT_EQ(0, merge_settings(f.new_path.c_str(), f.old_path.c_str()));
    EXPECT_EQ(content, f.merged());
    EXPECT_EQ(before, inode_of(f.new_path));
}

TEST(merge_settings, requotes_values_and_drops_lines_without_a_setting)
{
    merge_files f;
    EXPECT_EQ(2, f.merge("# comment\nNAME=office\n\nMODE=\"a b\"\nX=1\n", "NAME=Branch office\nMODE=ab\n"));
    EXPECT_EQ("NAME=\"Branch office\"\nMODE=ab\nX=1\n", f.merged());
}

TEST(merge_settings, matches_keys_in_any_case_and_keeps_the_new_spelling)
{
    merge_files f;
    EXPECT_EQ(1, f.merge("mode=1\n", "MODE=2\n"));
    EXPECT_EQ("mode=2\n", f.merged());
}

TEST(merge_settings, an_empty_old_value_replaces_a_default)
{
    merge_files f;
    EXPECT_EQ(1, f.merge("A=1\nB=2\n", "A=\n"));
    EXPECT_EQ("A=\nB=2\n", f.merged());
}

TEST(merge_settings, reads_values_the_way_the_settings_reader_does)
{
    merge_files f;
    // CRLF line ends, a value cut at its last quote, the first of two old lines wins.
    EXPECT_EQ(2, f.merge("A=1\r\nB=2\r\n", "A=x\"junk\nB=\"3 4\"\r\nB=9\n"));
    EXPECT_EQ("A=x\nB=\"3 4\"\n", f.merged());
}

TEST(merge_settings, keeps_every_key_of_a_long_settings_file)
{
    merge_files f;
    std::string content;
    for (int i = 0; i < 250; ++i)
        content += "K" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    EXPECT_EQ(1, f.merge(content, "K0=changed\n"));
    std::string expected = "K0=changed\n" + content.substr(content.find('\n') + 1);
    EXPECT_EQ(expected, f.merged());
}

TEST(merge_settings, cuts_written_values_after_8000_characters)
{
    merge_files f;
    std::string long_value(8100, 'v');
    EXPECT_EQ(1, f.merge("A=1\n", "A=" + long_value + "\n"));
    EXPECT_EQ("A=" + std::string(8000, 'v') + "\n", f.merged());
}

TEST(merge_settings, does_nothing_when_a_file_is_missing_or_holds_no_setting)
{
    merge_files f;
    write_file(f.new_path, "A=1\n");
    EXPECT_EQ(0, merge_settings(f.new_path.c_str(), f.dir.file("absent").c_str()));
    EXPECT_EQ(0, merge_settings(f.dir.file("absent").c_str(), f.new_path.c_str()));
    EXPECT_EQ("A=1\n", f.merged());
    EXPECT_EQ(0, f.merge("just text\n", "just=text\n"));
    EXPECT_EQ("just text\n", f.merged());
}

TEST(merge_settings, replaces_the_file_in_one_step_keeping_its_mode)
{
    merge_files f;
    write_file(f.new_path, "A=1\n");
    chmod(f.new_path.c_str(), 0640);
    ino_t before = inode_of(f.new_path);
    write_file(f.old_path, "A=2\n");
    EXPECT_EQ(1, merge_settings(f.new_path.c_str(), f.old_path.c_str()));
    EXPECT_EQ("A=2\n", f.merged());
    EXPECT_NE(before, inode_of(f.new_path));
    struct stat st {
    };
    stat(f.new_path.c_str(), &st);
    EXPECT_EQ(0640u, st.st_mode & 07777);
    // Nothing but the two files is left in the directory.
    std::string listing;
    {
        std::unique_ptr<FILE, int (*)(FILE*)> p(popen(("ls -A " + f.dir.path()).c_str(), "r"), pclose);
        char buf[256];
        while (fgets(buf, sizeof buf, p.get()))
            listing += buf;
    }
    EXPECT_EQ("settings\nsettings.old\n", listing);
}

struct alias_case {
    const char* old_content;
    const char* key;
    const char* expected;
};

static void PrintTo(const alias_case& c, std::ostream* os)
{
    *os << c.key;
}

class settings_lookup_alias_cases : public ::testing::TestWithParam<alias_case>
{
};

TEST_P(settings_lookup_alias_cases, derives_the_value)
{
    const alias_case& c = GetParam();
    EXPECT_EQ(c.expected, alias(c.old_content, c.key)) << c.key << " from:\n" << c.old_content;
}

INSTANTIATE_TEST_SUITE_P(aliases, settings_lookup_alias_cases,
    ::testing::Values(alias_case { "FW_PRE_RULE2_ENABLED=0\nFW_RULE2_SOURCE=any\n", "FW_PRE_RULE2_ENABLED", "0" },
        alias_case { "ETH_DHCP_ENABLED=1\n", "ETH_DHCP_POOL_ENABLED", "1" },
        alias_case { "eth_dhcp_enabled=1\n", "eth_dhcp_pool_enabled", "1" },
        alias_case { "FW_ENABLED=1\n", "FW_PRE_ENABLED", "1" },
        alias_case { "FW_RULE2_SOURCE=any\nFW_RULE2_IPADDR=\n", "FW_PRE_RULE2_ENABLED", "1" },
        alias_case { "FW_RULE2_SOURCE=x\nFW_RULE2_IPADDR=10.0.0.1\n", "FW_PRE_RULE2_ENABLED", "1" },
        alias_case { "FW_RULE2_SOURCE=x\nFW_RULE2_IPADDR=host\n", "FW_PRE_RULE2_ENABLED", "0" },
        alias_case { "FW_RULE2_SOURCE=any\n", "FW_PRE_RULE2_ENABLED", "<none>" },
        alias_case { "FW_RULE3_SOURCE=any\nFW_RULE3_IPADDR=1.2.3.4\n", "FW_PRE_RULE2_ENABLED", "<none>" },
        alias_case { "FW_RULE12_PROTO=tcp\n", "fw_pre_rule12_proto", "tcp" },
        alias_case { "FW_RULE2_IPADDR=10.1.1.1\n", "FW_PRE_RULE2_SRC_IPADDR", "10.1.1.1" },
        alias_case { "FW_RULE2_PORT=8080\n", "FW_PRE_RULE2_DST_PORT", "8080" },
        alias_case { "FW_RULE2_SOURCE=x\n", "FW_PRE_RULE2_ACTION", "allow" },
        alias_case { "FW_RULE2_PROTO=tcp\n", "FW_PRE_RULE2_ACTION", "<none>" },
        alias_case { "FW_RULE2_PROTO=tcp\n", "FW_PRE_RULE2_OTHER", "<none>" },
        alias_case { "FW_RULE2_PROTO=tcp\n", "FW_PRE_RULEX_PROTO", "<none>" },
        alias_case { "FW_RULE2_PROTO=tcp\n", "FW_PRE_RULE2PROTO", "<none>" },
        alias_case { "OTHER=1\n", "MISSING", "<none>" }, alias_case { "EMPTY=\n", "EMPTY", "" }),
    [](const ::testing::TestParamInfo<alias_case>& info) {
        std::string name = std::to_string(info.index) + "_" + info.param.key;
        for (char& c : name) {
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '_';
        }
        return name;
    });

TEST(merge_settings, carries_firewall_rules_over_to_their_new_keys)
{
    merge_files f;
    EXPECT_EQ(3,
        f.merge("FW_PRE_RULE2_ENABLED=0\nFW_PRE_RULE2_ACTION=deny\nFW_PRE_RULE2_PROTO=udp\n",
            "FW_RULE2_SOURCE=any\nFW_RULE2_IPADDR=\nFW_RULE2_PROTO=tcp\n"));
    EXPECT_EQ("FW_PRE_RULE2_ENABLED=1\nFW_PRE_RULE2_ACTION=allow\nFW_PRE_RULE2_PROTO=tcp\n", f.merged());
}
