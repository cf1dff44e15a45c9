// Module packages whose members could land outside their module directories are refused by
// the updater before anything is unpacked: exit 1, the installed module untouched, nothing
// written anywhere.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/file_util.h"
#include "common/runner.h"
#include "grafter/grafter.h"
#include "support/test_support.h"

namespace {
const std::string SOURCE = "/var/data/hostile_src";
const std::string PACKAGE = "/tmp/vpn_module_tbd/module/pkg.tgz";

int sh(const std::string& command)
{
    return run_shell(command);
}

int run_grafter(const std::string& package)
{
    std::string arg0 = "grafter", arg1 = package;
    char* argv[] = {&arg0[0], &arg1[0], nullptr};
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

class hostile_package : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(in_sandbox()) << "this test changes /opt, /tmp and /var and runs only in the router sandbox";
        sh("rm -rf /opt/* /var/www/* /tmp/vpn_module /tmp/vpn_module_tbd /tmp/escaped* /var/escaped* " + SOURCE +
           " /var/log/hostile_record");
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
        EXPECT_FALSE(file_exists("/tmp/vpn_module"));
    }

    std::string before_;
};
}  // namespace

TEST_F(hostile_package, a_member_with_an_absolute_name_is_refused)
{
    write_file("/var/escaped.src", "x\n");
    expect_refused_untouched("cd " + SOURCE + " && tar -czPf " + PACKAGE + " hmod /var/escaped.src --transform 's|^/var/escaped.src|/var/escaped|'");
}

TEST_F(hostile_package, a_member_with_dotdot_components_is_refused)
{
    write_file(SOURCE + "/escaped", "x\n");
    expect_refused_untouched("cd " + SOURCE + " && tar -czPf " + PACKAGE + " hmod --transform 's|^escaped|hmod/../../../tmp/escaped|' escaped");
}

TEST_F(hostile_package, a_link_to_an_absolute_path_is_refused)
{
    ASSERT_EQ(0, sh("ln -s /var " + SOURCE + "/hmod/www/up"));
    expect_refused_untouched("tar -czf " + PACKAGE + " -C " + SOURCE + " hmod");
}

TEST_F(hostile_package, a_link_out_of_its_module_directory_is_refused)
{
    ASSERT_EQ(0, sh("ln -s ../../../var " + SOURCE + "/hmod/www/up"));
    expect_refused_untouched("tar -czf " + PACKAGE + " -C " + SOURCE + " hmod");
}

TEST_F(hostile_package, a_hard_link_to_another_module_is_refused)
{
    ASSERT_EQ(0, sh("mkdir -p " + SOURCE + "/other && echo x > " + SOURCE + "/other/f && ln " + SOURCE + "/other/f " +
                    SOURCE + "/hmod/f"));
    expect_refused_untouched("tar -czf " + PACKAGE + " -C " + SOURCE + " other hmod");
}

TEST_F(hostile_package, links_inside_the_module_are_installed)
{
    ASSERT_EQ(0, sh("ln -s ../etc/init " + SOURCE + "/hmod/www/init_link && ln -s VERSION " + SOURCE + "/hmod/V"));
    ASSERT_EQ(0, sh("tar -czf " + PACKAGE + " -C " + SOURCE + " hmod"));
    EXPECT_EQ(0, run_grafter(PACKAGE));
    EXPECT_EQ("v2\n", read_file("/opt/hmod/VERSION"));
    EXPECT_EQ("v2\n", read_file("/opt/hmod/V"));
}
