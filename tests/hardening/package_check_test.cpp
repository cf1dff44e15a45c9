// The updater's check of a package's member list, on listings as GNU tar (with --numeric-owner)
// and busybox tar print them.
#include "grafter/package_check.h"

#include <gtest/gtest.h>
#include <string>

namespace
{
struct listing_case {
    std::string what;
    std::string listing;
    bool safe;
};

const std::string DIR = "drwxr-xr-x 0/0               0 2026-12-09 00:20 ";
const std::string FILE_ = "-rw-r--r-- 0/0               3 2026-12-09 00:20 ";
const std::string LINK = "lrwxrwxrwx 0/0               0 2026-12-09 00:20 ";
const std::string HARD = "hrw-r--r-- 0/0               0 2026-12-09 00:20 ";
const std::string BUSYBOX_FILE = "-rw-r--r-- 0/0 3 2026-12-09 00:20:30 ";

class package_listing : public ::testing::TestWithParam<listing_case>
{
};
} // namespace

TEST_P(package_listing, is_judged)
{
    EXPECT_EQ(GetParam().safe, package_listing_safe(GetParam().listing)) << GetParam().what;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(members, package_listing, ::testing::Values(
    listing_case{"a module tree", DIR + "quillmesh/\n" + DIR + "quillmesh/etc/\n" + FILE_ + "quillmesh/etc/settings\n" + FILE_ + "quillmesh/etc/init\n", true},
    listing_case{"a link inside its module", LINK + "quillmesh/www/b -> ../etc/a\n" + LINK + "quillmesh/www/c -> ./d\n", true},
    listing_case{"a hard link inside its module", HARD + "quillmesh/www/a link to quillmesh/www/c\n", true},
    listing_case{"busybox's hard link inside its module", BUSYBOX_FILE + "quillmesh/a -> quillmesh/b\n", true},
    listing_case{"names with blanks", FILE_ + "quillmesh/www/my page.html\n", true},
    listing_case{"busybox's owner names", "-rw-r--r-- root/wheel 3 2026-12-09 00:20:30 quillmesh/a\n", true},
    listing_case{"a tree packed from .", DIR + "./\n" + DIR + "./quillmesh/\n" + LINK + "./quillmesh/www/b -> ../etc/a\n", true},
    listing_case{"an empty listing", "", false},
    listing_case{"an absolute name", FILE_ + "/etc/passwd\n", false},
    listing_case{"a .. component", FILE_ + "quillmesh/../../etc/passwd\n", false},
    listing_case{"a .. directory", DIR + "quillmesh/..\n", false},
    listing_case{"a link to an absolute path", LINK + "quillmesh/etc -> /etc\n", false},
    listing_case{"a link out of its module", LINK + "quillmesh/www -> ../../var/www\n", false},
    listing_case{"a link into another module", LINK + "quillmesh/other -> ../other/etc\n", false},
    listing_case{"a link to its module's parent", LINK + "quillmesh/up -> ..\n", false},
    listing_case{"a link that leaves and comes back", LINK + "quillmesh/a/b -> ../../../quillmesh/x\n", false},
    listing_case{"a link into another module behind ./", LINK + "./a/l -> ../b/secret\n", false},
    listing_case{"links that climb through each other", LINK + "a/s/l2 -> ..\n" + LINK + "a/s/l3 -> l2/..\n", false},
    listing_case{"a link out of its module behind ././ and //", LINK + "././quillmesh//www/l -> ../../other\n", false},
    listing_case{"a hard link to another module behind ./", HARD + "./quillmesh/a link to ./other/b\n", false},
    listing_case{"a top-level link", LINK + "quillmesh -> /opt/other\n", false},
    listing_case{"a hard link to another module", HARD + "quillmesh/a link to other/b\n", false},
    listing_case{"a hard link to an absolute name", HARD + "quillmesh/a link to /etc/shadow\n", false},
    listing_case{"busybox's hard link out of its module", BUSYBOX_FILE + "quillmesh/a -> /etc/shadow\n", false},
    listing_case{"a device node", "crw-r--r-- root/root 1,3 2026-12-09 00:20 quillmesh/null\n", false},
    listing_case{"a fifo", "prw-r--r-- root/root 0 2026-12-09 00:20 quillmesh/fifo\n", false},
    listing_case{"an escaped character", FILE_ + "quillmesh/a\\nb\n", false},
    listing_case{"owner and group names that shift the fields",
                 "lrwxrwxrwx a b c d quillmesh/p/q/r 0 2026-12-09 00:20 quillmesh/l -> ../../../etc\n", false},
    listing_case{"a time that tar prints as a number", "-rw-r--r-- 0/0 0 4611686018427387904 ../x quillmesh/a\n", false},
    listing_case{"tar's own warning", "tar: Removing leading `/' from member names\n", false},
    listing_case{"a line with no name", FILE_.substr(0, FILE_.size() - 1), false}));
// clang-format on
