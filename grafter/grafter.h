// The updater: installs every module directory of one package under /opt/ and carries the
// settings of the installed version over. It prints and logs nothing; its only report is the
// exit status.
#pragma once

#include <string>

// grafter <package path>: 0 when at least one module was installed, 1 otherwise. Afterwards
// the work directory /tmp/vpn_module is gone, and so is the package when it lay in the staging
// directory /tmp/vpn_module_tbd, which goes too once nothing else is staged there.
int grafter_main(int argc, char** argv);

// 1 to 24 letters, digits and '_'.
bool is_valid_module_name(const std::string& name);

// Installs /tmp/vpn_module/<name> as /opt/<name>. True when the new tree is in place; false
// when it could not be copied or swapped in, in which case the old module stays installed and
// running.
bool install_module(const std::string& name);
