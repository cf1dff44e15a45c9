// Module packages whose members could land outside their module directories are refused by
// the updater before anything is unpacked: exit 1, the installed module untouched, nothing
// written anywhere.
#include "common/file_util.h"
#include "common/system.h"
#include "grafter/grafter.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{
const std::string SOURCE = "/var/data/hostile_src";
const std::string PACKAGE = "/tmp/vpn_module_tbd/module/pkg.tgz";
const std::string PACK = "tar -czf " + PACKAGE + " -C " + SOURCE; // + the members

int sh(const std::string& command)
{
    return run_shell(command);
}

int run_grafter(const std::string& package)
{
    std::string arg0 = "grafter", arg1 = package;
    char* argv[] = { &arg0[0], &arg1[0], nullptr };
    return grafter_main(2, argv);
}

// A module tree with an init script that records its calls.
void make_module(const std::string& name, const std::string& version)
{
    const std::string dir = SOURCE + "/" + name;
    ASSERT_EQ(0, sh("mkdir -p " + dir + "/etc " + dir + "/www"));
    write_file(dir + "/VERSION", version + "\n");
    write_file(dir + "/etc/init", "#!/bin/sh\necho \"" + name + " $1\" >> /var/log/hostile_record\n");
    chmod((dir + "/etc/init").c_str(), 0755);
}

std::string tree_listing(const std::string& dir)
{
    std::string out;
    run_shell_capture("find " + dir + " -printf '%p %y %l %s\\n' 2>/dev/null | sort", &out);
    return out;
}

class hostile_package : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(in_sandbox()) << "this test changes /opt, /tmp and /var and runs only in the router sandbox";
        sh("rm -rf /opt/* /var/www/* /tmp/vpn_module* /tmp/escaped* /var/escaped* " + SOURCE
            + " /var/log/hostile_record");
        ASSERT_EQ(0, sh("mkdir -p " + SOURCE + " /var/www /tmp/vpn_module_tbd/module"));
        // The module as installed before the hostile package arrives.
        make_module("hmod", "v1");
        ASSERT_EQ(0, sh("tar -czf " + PACKAGE + " -C " + SOURCE + " hmod"));
        ASSERT_EQ(0, run_grafter(PACKAGE));
        ASSERT_EQ("v1\n", read_file("/opt/hmod/VERSION"));
        sh("rm -rf " + SOURCE + " /var/log/hostile_record && mkdir -p " + SOURCE + " /tmp/vpn_module_tbd/module");
        make_module("hmod", "v2");
        before_ = tree_listing("/opt") + tree_listing("/var/www");
    }

    // The package is refused and nothing changed: the old module, no record of a script run,
    // no escaped file, the work directory gone.
    void expect_refused_untouched(const std::string& tar_command)
    {
        ASSERT_EQ(0, sh(tar_command)) << tar_command;
        EXPECT_EQ(1, run_grafter(PACKAGE));
        EXPECT_EQ("v1\n", read_file("/opt/hmod/VERSION"));
        EXPECT_EQ(before_, tree_listing("/opt") + tree_listing("/var/www"));
        EXPECT_FALSE(file_exists("/var/log/hostile_record"));
        EXPECT_FALSE(file_exists("/tmp/escaped"));
        EXPECT_FALSE(file_exists("/var/escaped"));
        EXPECT_EQ(std::vector<std::string> {}, matching_paths("/tmp/vpn_module.*"));
    }

    std::string before_;
};
} // namespace

// A shell command that builds the hostile module tree under SOURCE and packs it as PACKAGE.
struct hostile_case {
    std::string what;
    std::string pack;
};

class refused_package : public hostile_package, public ::testing::WithParamInterface<hostile_case>
{
};

TEST_P(refused_package, is_refused_and_nothing_changes)
{
    SCOPED_TRACE(GetParam().what);
    expect_refused_untouched(GetParam().pack);
}

// The member shapes are judged in package_check_test; here real tar packs one of each kind the
// listing check must read as tar prints it: a link that leaves its module, the same behind ./,
// and owner names that shift the listing's fields.
// clang-format off
INSTANTIATE_TEST_SUITE_P(members, refused_package, ::testing::Values(
    hostile_case{"a link out of its module directory", "ln -s ../../../var " + SOURCE + "/hmod/www/up && " + PACK + " hmod"},
    hostile_case{"a link out of its module directory, packed as ./", "ln -s ../escaped " + SOURCE + "/hmod/up && " + PACK + " ./hmod"},
    hostile_case{"owner and group names with blanks and slashes", "ln -s ../../../var " + SOURCE + "/hmod/up && " + PACK + " --owner='a b c d hmod' --group=p/q/r hmod"}));
// clang-format on

TEST_F(hostile_package, links_inside_the_module_are_installed)
{
    ASSERT_EQ(0, sh("ln -s ../etc/init " + SOURCE + "/hmod/www/init_link && ln -s VERSION " + SOURCE + "/hmod/V"));
    ASSERT_EQ(0, sh("tar -czf " + PACKAGE + " -C " + SOURCE + " hmod"));
    EXPECT_EQ(0, run_grafter(PACKAGE));
    EXPECT_EQ("v2\n", read_file("/opt/hmod/VERSION"));
    EXPECT_EQ("v2\n", read_file("/opt/hmod/V"));
}

// The package is exchanged for a hostile one right after its members were listed (played by a
// stand-in tar): what was checked is what is unpacked.
TEST_F(hostile_package, a_package_exchanged_after_its_check_is_not_unpacked)
{
    const std::string hostile = SOURCE + "/hostile.tgz";
    ASSERT_EQ(
        0, sh(PACK + " hmod && ln -s /var " + SOURCE + "/hmod/up && tar -czf " + hostile + " -C " + SOURCE + " hmod"));
    path_stand_ins stand_ins;
    stand_ins.add("tar",
        "/usr/bin/tar \"$@\"; status=$?\ncase \"$1\" in -t*|--numeric-owner) [ -f " + hostile + " ] && mv " + hostile
            + " " + PACKAGE + ";; esac\nexit $status\n");
    EXPECT_EQ(0, run_grafter(PACKAGE));
    EXPECT_EQ("v2\n", read_file("/opt/hmod/VERSION"));
    EXPECT_FALSE(file_exists("/opt/hmod/up"));
}
