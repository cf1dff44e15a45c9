#include "grafter/settings_merge.h"

#include "common/file_util.h"
#include "common/handles.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <vector>

namespace
{
constexpr size_t line_size = 8192; // lines of at most 8191 characters
constexpr size_t suffix_max = 31;

struct setting_pair {
    std::string key;
    std::string value;
};

// Cuts a raw line at its first CR, then its first LF, then its last double quote. Returns the
// position of the first '=' or null when the line holds none.
char* clean_line(char* line)
{
    line[strcspn(line, "\r")] = '\0';
    line[strcspn(line, "\n")] = '\0';
    if (char* quote = strrchr(line, '"'))
        *quote = '\0';
    return strchr(line, '=');
}

const char* value_after(char* equals)
{
    const char* value = equals + 1;
    if (*value == '"')
        ++value;
    return value;
}

// The updater's own key lookup: from the top of the file, first match wins, any letter case.
char* lookup(FILE* file, const char* key)
{
    if (!file)
        return nullptr;
    rewind(file);
    char line[line_size];
    while (fgets(line, sizeof line, file)) {
        char* equals = clean_line(line);
        if (!equals)
            continue;
        *equals = '\0';
        if (strcasecmp(line, key) == 0)
            return strdup(value_after(equals));
    }
    return nullptr;
}

bool lookup_exists(FILE* file, const std::string& key)
{
    char* value = lookup(file, key.c_str());
    bool found = value != nullptr;
    free(value);
    return found;
}

// Matches "FW_PRE_RULE<number>_<suffix>" (any letter case, suffix of up to 31 characters).
bool parse_pre_rule(const char* key, unsigned& number, std::string& suffix)
{
    static const char prefix[] = "FW_PRE_RULE";
    const size_t prefix_len = sizeof prefix - 1;
    if (strncasecmp(key, prefix, prefix_len) != 0)
        return false;
    const char* p = key + prefix_len;
    if (!isdigit(static_cast<unsigned char>(*p)))
        return false;
    unsigned long n = 0;
    while (isdigit(static_cast<unsigned char>(*p))) {
        n = n * 10 + static_cast<unsigned long>(*p - '0');
        if (n > 0xffffffffUL)
            return false;
        ++p;
    }
    if (*p != '_')
        return false;
    ++p;
    size_t len = 0;
    while (p[len] && !isspace(static_cast<unsigned char>(p[len])) && len < suffix_max)
        ++len;
    if (len == 0)
        return false;
    number = static_cast<unsigned>(n);
    suffix.assign(p, len);
    return true;
}

std::string rule_key(unsigned number, const char* field)
{
    return "FW_RULE" + std::to_string(number) + "_" + field;
}

char* lookup_pre_rule(FILE* old_file, unsigned number, const std::string& suffix)
{
    const char* s = suffix.c_str();
    if (strcasecmp(s, "ENABLED") == 0) {
        char* source = lookup(old_file, rule_key(number, "SOURCE").c_str());
        char* address = lookup(old_file, rule_key(number, "IPADDR").c_str());
        char* result = nullptr;
        if (source && address) {
            bool enabled = source[0] == 'a' || isdigit(static_cast<unsigned char>(address[0]));
            result = strdup(enabled ? "1" : "0");
        }
        free(source);
        free(address);
        return result;
    }
    if (strcasecmp(s, "PROTO") == 0)
        return lookup(old_file, rule_key(number, "PROTO").c_str());
    if (strcasecmp(s, "SRC_IPADDR") == 0)
        return lookup(old_file, rule_key(number, "IPADDR").c_str());
    if (strcasecmp(s, "DST_PORT") == 0)
        return lookup(old_file, rule_key(number, "PORT").c_str());
    if (strcasecmp(s, "ACTION") == 0)
        return lookup_exists(old_file, rule_key(number, "SOURCE")) ? strdup("allow") : nullptr;
    return nullptr;
}

void write_pair(FILE* out, const setting_pair& pair)
{
    if (pair.value.find(' ') != std::string::npos)
        fprintf(out, "%s=\"%.8000s\"\n", pair.key.c_str(), pair.value.c_str());
    else
        fprintf(out, "%s=%.8000s\n", pair.key.c_str(), pair.value.c_str());
}

// Replaces the new settings file in one step with the merged pairs, keeping its mode.
bool rewrite_settings(const char* path, const std::vector<setting_pair>& pairs)
{
    struct stat st;
    mode_t perms = stat(path, &st) == 0 ? (st.st_mode & 07777) : 0644;
    atomic_file out(path, perms);
    if (!out)
        return false;
    for (const auto& pair : pairs)
        write_pair(out.get(), pair);
    return out.commit() == 0;
}
} // namespace

char* settings_lookup_alias(FILE* old_file, const char* key)
{
    if (char* value = lookup(old_file, key))
        return value;
    if (strcasecmp(key, "ETH_DHCP_POOL_ENABLED") == 0)
        return lookup(old_file, "ETH_DHCP_ENABLED");
    if (strcasecmp(key, "FW_PRE_ENABLED") == 0)
        return lookup(old_file, "FW_ENABLED");
    unsigned number = 0;
    std::string suffix;
    if (parse_pre_rule(key, number, suffix))
        return lookup_pre_rule(old_file, number, suffix);
    return nullptr;
}

int merge_settings(const char* new_path, const char* old_path)
{
    std::vector<setting_pair> pairs;
    {
        file_ptr new_file(fopen(new_path, "r"));
        if (!new_file)
            return 0;
        char line[line_size];
        // Every pair of the new file is kept: a rewrite must not lose keys, however many.
        while (fgets(line, sizeof line, new_file.get())) {
            char* equals = clean_line(line);
            if (!equals)
                continue;
            *equals = '\0';
            pairs.push_back({ line, value_after(equals) });
        }
    }
    if (pairs.empty())
        return 0;

    file_ptr old_file(fopen(old_path, "r"));
    if (!old_file)
        return 0;
    int changed = 0;
    for (auto& pair : pairs) {
        char* old_value = settings_lookup_alias(old_file.get(), pair.key.c_str());
        if (old_value && pair.value != old_value) {
            pair.value = old_value;
            ++changed;
        }
        free(old_value);
    }
    if (changed == 0)
        return 0;
    // A failed rewrite leaves the defaults of the new package whole; nothing was carried over.
    if (!rewrite_settings(new_path, pairs))
        return 0;
    return changed;
}
