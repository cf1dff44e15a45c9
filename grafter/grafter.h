// The updater: installs every module directory of one package under /opt/ and carries the
// settings of the installed version over. It prints nothing and logs only when it finds no safe
// place to work; its report is the exit status.
#pragma once

#include <string>

// grafter <package path>: 0 when at least one module was installed, 1 otherwise. The package is
// unpacked in a work directory that only root can enter, made afresh for the run in /tmp
// (/tmp/vpn_module.XXXXXX, mode 0700); when that cannot be made safely the run logs why and
// exits 1. Afterwards the work directory is gone, and so is the package when it lay in the
// staging directory /tmp/vpn_module_tbd, which goes too once nothing else is staged there.
int grafter_main(int argc, char** argv);

// Installs <work>/tree/<name> as /opt/<name>, saving the old settings as <work>/settings.<name>
// for the carry-over. True when the new tree is in place; false when it could not be copied or
// swapped in, in which case the old module stays installed and running.
bool install_module(const std::string& work, const std::string& name);
