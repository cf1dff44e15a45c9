// Strict shapes for texts that come from a peer and end up in a shell command line, a path or
// a settings file. Anything that does not fit is refused before it is used.
#pragma once

#include <cstddef>
#include <string>

// Four decimal numbers 0-255 of one to three digits joined by '.', nothing else; no number has a
// leading zero (a lone 0 is fine).
bool is_dotted_quad(const std::string& text);

// A dotted quad whose one bits are contiguous from the top (0.0.0.0 and 255.255.255.255 included).
bool is_contiguous_netmask(const std::string& text);

// An interface name: 1 to 15 characters of letters, digits, '.', '_' and '-'.
bool is_iface_name(const std::string& text);

// A single path component: 1 to 64 characters of letters, digits, '.', '_' and '-',
// neither "." nor "..".
bool is_safe_file_name(const std::string& text);

// 1 to max_length letters and digits.
bool is_alnum_token(const std::string& text, size_t max_length);

// "a.b.c.d/n": a dotted quad and a prefix length of 0 to 32, as iptables -S prints a network.
bool is_network_prefix(const std::string& text);

// A base URL for a download command: 1 or more letters, digits and the characters ".:/_-".
bool is_safe_url(const std::string& text);

// A path for a command line: 1 or more letters, digits and the characters "./_-+,:@".
bool is_safe_path(const std::string& text);

// A module name, the directory under /opt and a word of the updater's command lines: 1 to 24
// letters, digits and '_'.
bool is_module_name(const std::string& text);

// A word of an openssl command line (a path, a curve name, a reason): 1 or more letters, digits
// and the characters "._/-:+,=@%".
bool is_shell_word(const std::string& text);
