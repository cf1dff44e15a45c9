// The file store request's side: the staging directories and the atomic store of a file the CS
// sends as base64.
#pragma once

#include <string>

// Staging directories of the file store request, by file kind (each path ends in '/').
extern const char* const STORE_MODULE_DIR; // kind 1: /tmp/vpn_module_tbd/module/
extern const char* const STORE_CONFIG_DIR; // kind 2: /tmp/vpn_module_tbd/config/
extern const char* const STORE_SCRIPT_DIR; // kind 3: /tmp/vpn_module_tbd/script/

// Decodes the base64 text (standard alphabet; decoding stops at the first '=' or character
// outside the alphabet) and writes the bytes to `path`, replacing it atomically. True when the
// whole file was written; false after a log line otherwise (nothing is left at `path` that was
// not there before).
bool store_base64_file(const std::string& base64, const std::string& path);

// The decoding of store_base64_file on its own.
std::string base64_decode(const std::string& text);
